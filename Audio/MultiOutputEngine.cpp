#include "Audio/MultiOutputEngine.h"

#include <algorithm>

#include "Foundation/Log.h"

namespace qv {
namespace {

const char* const kEcoWakeThresholdKey = "ecoWakeThreshold";
const char* const kLastPresetPathKey = "lastPresetPath";

}  // namespace

std::shared_ptr<MultiOutputEngine> MultiOutputEngine::create(const EngineEnvironment& environment,
                                                             Completion startedUp) {
    std::shared_ptr<MultiOutputEngine> engine(new MultiOutputEngine(environment));
    engine->scheduleStartUp(std::move(startedUp));
    return engine;
}

MultiOutputEngine::MultiOutputEngine(const EngineEnvironment& environment)
    : ecoWakeThreshold(this,
                       environment.settings.floatValue(kEcoWakeThresholdKey).value_or(-60.0f)),
      env_(environment) {
    lastAudioActivity = env_.mainQueue.now();
    outputBusses.set({std::make_shared<OutputBus>(1, "Bus 1")});
    nextBusId = 2;
    audioState_->ecoWakeThreshold.store(ecoWakeThreshold.get());

    ownSubscriptions_.push_back(ecoWakeThreshold.observeDidSet([this](const float& value) {
        audioState_->ecoWakeThreshold.store(value);
        env_.settings.setValue(kEcoWakeThresholdKey, SettingValue{value});
        Log::systemf("⚙️ Eco wake threshold: %.0f dB", static_cast<double>(value));
    }));
    // The solo state follows every channel's solo flag, whoever sets it (a strip, a preset),
    // and the channel list itself (a removed soloed channel must not silence the others).
    ownSubscriptions_.push_back(inputChannels.observeDidSet([this](const auto& channels) {
        soloSubscriptions_.clear();
        for (const auto& channel : channels) {
            soloSubscriptions_.push_back(
                channel->isSolo.observeDidSet([this](const bool&) { updateSoloState(); }));
        }
        updateSoloState();
    }));
    ownSubscriptions_.push_back(powerMode.observeDidSet([this](const PowerMode& mode) {
        if (mode == appliedPowerMode_) {
            return;
        }
        appliedPowerMode_ = mode;
        applyPowerModeTransition(mode);
        Log::systemf("⚡ Power mode: %s", powerModeName(mode).c_str());
    }));
}

MultiOutputEngine::~MultiOutputEngine() {
    ownSubscriptions_.clear();
    soloSubscriptions_.clear();
    if (meterTimer) {
        meterTimer->cancel();
    }
    if (idleCheckTimer) {
        idleCheckTimer->cancel();
    }
    if (deviceListDebounceWorkItem) {
        deviceListDebounceWorkItem->cancel();
    }
    if (wakeDebounceWorkItem) {
        wakeDebounceWorkItem->cancel();
    }
    for (auto& [id, item] : busRecoveryWorkItems) {
        item.cancel();
    }
    for (auto& [id, observer] : busConfigObservers) {
        if (auto graph = observer.graph.lock()) {
            graph->removeConfigurationChangeObserver(observer.token);
        }
    }
    if (meterDrainTimer_) {
        meterDrainTimer_->cancel();
    }
    // Captures call into the engine: they stop before anything else goes.
    for (auto& [id, graph] : inputEngines) {
        graph->inputNode().removeTap(0);
        graph->stop();
    }
    for (auto& [id, stream] : scStreams) {
        stream->stopCapture([](std::optional<std::string>) {});
    }
    // Render blocks hold their channel; dropping the chains lets both go.
    for (const auto& channel : inputChannels.get()) {
        teardownChannelAudio(channel);
    }
    for (auto& bus : outputBusses.get()) {
        if (bus->outputEngine) {
            bus->outputEngine->stop();
        }
    }
}

void MultiOutputEngine::scheduleStartUp(Completion startedUp) {
    std::weak_ptr<MultiOutputEngine> weakSelf = weak_from_this();
    env_.mainQueue.post([weakSelf, startedUp] {
        auto self = weakSelf.lock();
        if (!self) {
            return;
        }
        self->scanDevices([weakSelf, startedUp] {
            auto self = weakSelf.lock();
            if (!self) {
                return;
            }
            self->checkScreenCapturePermission([weakSelf, startedUp] {
                auto self = weakSelf.lock();
                if (!self) {
                    return;
                }
                self->autoStart([weakSelf, startedUp] {
                    if (auto self = weakSelf.lock()) {
                        self->installDeviceListListener();
                        if (startedUp) {
                            startedUp();
                        }
                    }
                });
            });
        });
    });
}

void MultiOutputEngine::autoStart(Completion done) {
    const auto& devices = availableOutputDevices.get();
    const auto& busses = outputBusses.get();
    if (!devices.empty() && !busses.empty()) {
        busses.front()->outputDevice = devices.front();
        Log::line("🔊 Auto-assigned " + devices.front().name + " to Bus 1");
    }
    EngineError error;
    if (start(&error)) {
        Log::line("▶️ Engine auto-started");
    } else {
        Log::line("❌ Auto-start failed: " + error.localizedDescription);
    }
    if (done) {
        done();
    }
}

void MultiOutputEngine::setUIVisible(bool visible) {
    if (visible == isUIVisible_) {
        return;
    }
    isUIVisible_ = visible;
    if (!visible) {
        if (meterTimer) {
            meterTimer->cancel();
            meterTimer.reset();
        }
    } else if (!isIdleSuspended.get()) {
        startMeterTimer();
    }
}

bool MultiOutputEngine::start(EngineError* error) {
    if (isRunning.get()) {
        return true;
    }
    // Copies: set-up may replace the lists' elements' fields, never the lists themselves.
    const auto busses = outputBusses.get();
    for (const auto& bus : busses) {
        if (auto device = bus->outputDevice.get()) {
            setupOutputBus(bus, *device);
        }
    }
    bool anyRunning = false;
    for (const auto& bus : busses) {
        if (!bus->outputEngine) {
            continue;
        }
        if (bus->outputEngine->isRunning()) {
            anyRunning = true;
            continue;
        }
        if (AudioResult started = bus->outputEngine->start(); started.ok()) {
            anyRunning = true;
        } else {
            Log::line("⚠️ Bus " + std::to_string(bus->id) +
                      " engine failed to start: " + started.description() + " — continuing");
        }
    }
    const bool anyDevice = std::any_of(busses.begin(), busses.end(), [](const auto& b) {
        return b->outputDevice.get().has_value();
    });
    if (anyDevice && !anyRunning) {
        if (error) {
            *error = EngineError{"Quorvanta", -1, "No output buses could be started"};
        }
        return false;
    }
    const auto channels = inputChannels.get();
    for (const auto& channel : channels) {
        setupChannelAudio(channel);
    }
    for (const auto& channel : channels) {
        for (auto& [busId, player] : channel->busPlayerNodes) {
            if (!player->isPlaying()) {
                player->play();
            }
        }
    }
    isRunning = true;
    isIdleSuspended = false;
    startMeterDrain();
    if (isUIVisible_) {
        startMeterTimer();
    }
    lastAudioActivity = env_.mainQueue.now();
    if (powerMode.get() != PowerMode::alwaysOn) {
        startIdleCheckTimer();
    }
    Log::line("▶️ Multi-Output Engine started");
    return true;
}

void MultiOutputEngine::stop() {
    if (meterTimer) {
        meterTimer->cancel();
        meterTimer.reset();
    }
    if (idleCheckTimer) {
        idleCheckTimer->cancel();
        idleCheckTimer.reset();
    }
    stopIdleMonitor();
    removeWakeListeners();
    removeAllDeviceObservers();
    const auto channels = inputChannels.get();
    for (const auto& channel : channels) {
        stopInputCapture(channel);
    }
    for (const auto& channel : channels) {
        for (auto& [busId, player] : channel->busPlayerNodes) {
            player->stop();
        }
    }
    for (const auto& bus : outputBusses.get()) {
        if (bus->outputEngine) {
            bus->outputEngine->stop();
        }
    }
    stopMeterDrain();
    isRunning = false;
    Log::line("⏹ Multi-Output Engine stopped");
}

void MultiOutputEngine::resetToEmpty() {
    stop();
    for (const auto& channel : inputChannels.get()) {
        teardownChannelAudio(channel);
    }
    inputChannels = {};
    outputBusses = {};
    nextBusId = 2;
    outputBusses = {std::make_shared<OutputBus>(1, "Bus 1")};
    env_.settings.remove(kLastPresetPathKey);
    EngineError error;
    if (!start(&error)) {
        Log::line("❌ Could not restart engine: " + error.localizedDescription);
    }
    Log::line("🆕 Reset to empty mixer state");
}

void MultiOutputEngine::refreshAll(Completion done) {
    Log::line("🔄 Refreshing all devices and engines...");
    auto saved = std::make_shared<std::vector<ChannelSourceInfo>>();
    for (const auto& channel : inputChannels.get()) {
        ChannelSourceInfo info;
        info.channelId = channel->id;
        info.sourceType = channel->sourceType;
        info.appBundleId = channel->sourceAppBundleId;
        if (channel->sourceDeviceUID) {
            info.deviceUID = channel->sourceDeviceUID;
        } else if (channel->sourceDeviceID) {
            info.deviceUID = env_.hardware.deviceUID(*channel->sourceDeviceID).value_or("");
        }
        saved->push_back(std::move(info));
    }
    std::map<int, std::string> bindings;
    for (const auto& bus : outputBusses.get()) {
        if (auto device = bus->outputDevice.get()) {
            bindings[bus->id] = device->uid;
        }
    }
    stop();

    std::weak_ptr<MultiOutputEngine> weakSelf = weak_from_this();
    scanDevices([weakSelf, saved, bindings, done] {
        auto self = weakSelf.lock();
        if (!self) {
            return;
        }
        self->checkScreenCapturePermission([weakSelf, saved, bindings, done] {
            auto self = weakSelf.lock();
            if (!self) {
                return;
            }
            for (const auto& bus : self->outputBusses.get()) {
                auto it = bindings.find(bus->id);
                if (it == bindings.end()) {
                    continue;
                }
                for (const auto& device : self->availableOutputDevices.get()) {
                    if (device.uid == it->second) {
                        bus->outputDevice = device;
                        break;
                    }
                }
            }
            EngineError error;
            if (!self->start(&error)) {
                Log::line("⚠️ start() failed during refreshAll: " + error.localizedDescription +
                          " — continuing with source restore");
            }
            self->restoreSources(saved, 0, [weakSelf, done] {
                auto self = weakSelf.lock();
                if (!self) {
                    return;
                }
                for (const auto& bus : self->outputBusses.get()) {
                    if (bus->outputEngine) {
                        self->observeBusEngineConfig(bus);
                    }
                }
                Log::line("✅ Refresh complete");
                if (done) {
                    done();
                }
            });
        });
    });
}

void MultiOutputEngine::restoreSources(std::shared_ptr<std::vector<ChannelSourceInfo>> saved,
                                       std::size_t index, Completion finish) {
    while (index < saved->size()) {
        const ChannelSourceInfo& info = (*saved)[index];
        std::shared_ptr<InputChannel> channel;
        for (const auto& c : inputChannels.get()) {
            if (c->id == info.channelId) {
                channel = c;
                break;
            }
        }
        if (!channel) {
            // A channel removed meanwhile is skipped without the pause.
            ++index;
            continue;
        }
        switch (info.sourceType) {
            case InputSourceType::none:
                break;
            case InputSourceType::microphone:
                if (info.deviceUID) {
                    std::optional<AudioInputDevice> found;
                    for (const auto& device : availableInputDevices.get()) {
                        if (device.id == *info.deviceUID) {
                            found = device;
                            break;
                        }
                    }
                    if (found) {
                        setInputSource(channel, *found);
                    } else {
                        channel->sourceError = std::string("Device lost");
                        Log::line("⚠️ Mic device not found: " + *info.deviceUID);
                    }
                }
                break;
            case InputSourceType::systemAudio:
                setInputSourceSystemAudio(channel);
                break;
            case InputSourceType::appAudio:
                if (info.appBundleId) {
                    std::optional<RunningApplication> found;
                    for (const auto& app : capturableApps.get()) {
                        if (app.bundleIdentifier == *info.appBundleId) {
                            found = app;
                            break;
                        }
                    }
                    if (found) {
                        setInputSource(channel, *found);
                    } else {
                        channel->sourceError = std::string("App not running");
                        Log::line("⚠️ App not found: " + *info.appBundleId);
                    }
                }
                break;
        }
        // Give each restored source 50 ms before the next one.
        std::weak_ptr<MultiOutputEngine> weakSelf = weak_from_this();
        env_.mainQueue.postAfter(0.05, [weakSelf, saved, index, finish] {
            if (auto self = weakSelf.lock()) {
                self->restoreSources(saved, index + 1, finish);
            }
        });
        return;
    }
    finish();
}

void MultiOutputEngine::prepareForSleep() {
    if (isSleeping_) {
        return;
    }
    isSleeping_ = true;
    for (auto& [id, item] : busRecoveryWorkItems) {
        item.cancel();
    }
    busRecoveryWorkItems.clear();
    if (deviceListDebounceWorkItem) {
        deviceListDebounceWorkItem->cancel();
    }
    if (meterTimer) {
        meterTimer->cancel();
        meterTimer.reset();
    }
    stopCapturesKeepingSources();
    for (const auto& bus : outputBusses.get()) {
        if (bus->outputEngine) {
            bus->outputEngine->stop();
        }
    }
    removeAllDeviceObservers();
    stopIdleMonitor();
    removeWakeListeners();
    Log::line("😴 Prepared for system sleep - all engines stopped, source info preserved");
}

void MultiOutputEngine::stopCapturesKeepingSources() {
    for (const auto& channel : inputChannels.get()) {
        auto type = channel->sourceType;
        auto deviceID = channel->sourceDeviceID;
        auto deviceUID = channel->sourceDeviceUID;
        auto bundleId = channel->sourceAppBundleId;
        stopInputCapture(channel);
        channel->sourceType = type;
        channel->sourceDeviceID = deviceID;
        channel->sourceDeviceUID = deviceUID;
        channel->sourceAppBundleId = bundleId;
    }
}

void MultiOutputEngine::resumeFromSleep() {
    if (!isSleeping_) {
        return;
    }
    Log::line("☀️ System woke - scheduling audio recovery...");
    std::weak_ptr<MultiOutputEngine> weakSelf = weak_from_this();
    env_.mainQueue.postAfter(5.0, [weakSelf] {
        auto self = weakSelf.lock();
        if (!self) {
            return;
        }
        self->isSleeping_ = false;
        Log::line("☀️ Restoring audio chain...");
        self->env_.mainQueue.post([weakSelf] {
            auto self = weakSelf.lock();
            if (!self) {
                return;
            }
            self->refreshAll([weakSelf] {
                auto self = weakSelf.lock();
                if (!self) {
                    return;
                }
                if (self->isUIVisible_) {
                    self->startMeterTimer();
                }
                Log::line("✅ Audio recovery after wake complete");
            });
        });
    });
}

std::shared_ptr<InputChannel> MultiOutputEngine::addInputChannel() {
    auto channel =
        std::make_shared<InputChannel>("Input " + std::to_string(inputChannels.get().size() + 1));
    setupChannelAudio(channel);
    auto list = inputChannels.get();
    list.push_back(channel);
    inputChannels = std::move(list);
    return channel;
}

void MultiOutputEngine::removeInputChannel(const std::shared_ptr<InputChannel>& channel) {
    if (!channel) {
        return;
    }
    // Keep the channel alive while it is torn down, even if the caller's reference is the
    // list's own element.
    auto keep = channel;
    stopInputCapture(keep);
    teardownChannelAudio(keep);
    auto list = inputChannels.get();
    std::erase_if(list, [&](const auto& c) { return c->id == keep->id; });
    inputChannels = std::move(list);
}

}  // namespace qv
