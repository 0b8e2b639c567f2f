// The engine's lifecycle: creation and start-up, start and stop, reset, the full rebuild,
// system sleep, channels coming and going.

#include "Audio/MultiOutputEngine.h"

#include <algorithm>

#include "Audio/BusGraphs.h"
#include "Audio/ChannelRouting.h"
#include "Audio/DeviceCatalog.h"
#include "Audio/EngineAudioState.h"
#include "Audio/MeterHub.h"
#include "Audio/PowerManager.h"
#include "Audio/SourceCapture.h"
#include "Foundation/Log.h"

namespace qv {
namespace {

const char* const kEcoWakeThresholdKey = "ecoWakeThreshold";
const char* const kLastPresetPathKey = "lastPresetPath";

}  // namespace

std::shared_ptr<MultiOutputEngine> MultiOutputEngine::create(const EngineEnvironment& environment,
                                                             Completion startedUp) {
    std::shared_ptr<MultiOutputEngine> engine(new MultiOutputEngine(environment));
    engine->startUp(std::move(startedUp));
    return engine;
}

MultiOutputEngine::MultiOutputEngine(const EngineEnvironment& environment)
    : ecoWakeThreshold(this,
                       environment.settings.floatValue(kEcoWakeThresholdKey).value_or(-60.0f)),
      env_(environment),
      audio_(std::make_shared<EngineAudioState>()),
      tasks_(environment.mainQueue) {
    MainQueue& queue = env_.mainQueue;
    catalog_ = std::make_unique<DeviceCatalog>(env_.hardware, queue);
    buses_ =
        std::make_unique<BusGraphs>(env_.hardware, queue,
                                    BusGraphs::Hooks{[this] { return isSleeping_; },
                                                     [this](const auto& bus) { recoverBus(bus); }});
    routing_ = std::make_unique<ChannelRouting>(*this, *buses_, audio_, env_.hardware);
    capture_ = std::make_unique<SourceCapture>(*this, env_.hardware, env_.capture, queue, *routing_,
                                               audio_);
    meters_ = std::make_unique<MeterHub>(*this, queue, audio_);
    power_ = std::make_unique<PowerManager>(
        *this, env_.hardware, queue, *meters_, audio_,
        PowerManager::Hooks{[this] { return isSleeping_; }, [this] { suspendEngines(); },
                            [this](Completion done) { resumeAll(std::move(done)); }});
    meters_->setPowerMessageHandler([this](const MeterMessage& m) { power_->handle(m); });
    meters_->setDrainHook([this] {
        routing_->collectRetired();
        routing_->reportHandOvers(tasks_.queue().now());
    });

    outputBusses = {std::make_shared<OutputBus>(1, "Bus 1")};
    nextBusId_ = 2;
    audio_->ecoWakeThreshold.store(ecoWakeThreshold.get());

    subscriptions_.push_back(ecoWakeThreshold.observeDidSet([this](const float& value) {
        audio_->ecoWakeThreshold.store(value);
        env_.settings.setValue(kEcoWakeThresholdKey, SettingValue{value});
        Log::systemf("⚙️ Eco wake threshold: %.0f dB", static_cast<double>(value));
    }));
    subscriptions_.push_back(powerMode.observeDidSet([this](const PowerMode& mode) {
        if (mode == appliedPowerMode_) {
            return;
        }
        appliedPowerMode_ = mode;
        power_->applyPowerModeTransition(mode);
        Log::systemf("⚡ Power mode: %s", powerModeName(mode).c_str());
    }));
}

MultiOutputEngine::~MultiOutputEngine() {
    subscriptions_.clear();
    // The parts go in reverse order: captures stop before the chains they feed, the chains
    // before the graphs they live in.
    power_.reset();
    meters_.reset();
    capture_.reset();
    routing_.reset();
    buses_.reset();
    catalog_.reset();
}

void MultiOutputEngine::startUp(Completion startedUp) {
    tasks_.post([this, startedUp] {
        scanDevices();
        capture_->checkScreenCapturePermission([this, startedUp] {
            autoStart();
            catalog_->installDeviceListListener([this] {
                availableOutputDevices = catalog_->getOutputDevices();
                availableInputDevices = catalog_->getInputDevices();
                autoRecoverLostSources();
            });
            // An application a channel waits for is captured as soon as it plays.
            env_.capture.watchApplications(tasks_.guard([this] {
                if (awaitsApplication()) {
                    capture_->checkScreenCapturePermission([this] { autoRecoverLostSources(); });
                }
            }));
            if (startedUp) {
                startedUp();
            }
        });
    });
}

void MultiOutputEngine::scanDevices() {
    availableOutputDevices = catalog_->getOutputDevices();
    availableInputDevices = catalog_->getInputDevices();
    const auto& busses = outputBusses.get();
    const auto& outputs = availableOutputDevices.get();
    if (!busses.empty() && !busses.front()->outputDevice.get() && !outputs.empty()) {
        busses.front()->outputDevice = outputs.front();
    }
    Log::line("🔊 Found " + std::to_string(outputs.size()) + " output devices");
    Log::line("🎤 Found " + std::to_string(availableInputDevices.get().size()) + " input devices");
}

void MultiOutputEngine::autoStart() {
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
}

bool MultiOutputEngine::isUIVisible() const {
    return meters_->isUIVisible();
}

void MultiOutputEngine::setUIVisible(bool visible) {
    if (visible == meters_->isUIVisible()) {
        return;
    }
    meters_->setUIVisible(visible);
    if (!visible) {
        meters_->stopMeterTimer();
    } else if (!isIdleSuspended.get()) {
        meters_->startMeterTimer();
    }
}

bool MultiOutputEngine::hasSoloActive() const {
    return audio_->hasSoloActive.load();
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
        if (!buses_->find(bus->id)) {
            continue;
        }
        if (buses_->isRunning(bus->id)) {
            anyRunning = true;
            continue;
        }
        auto failed = [this, id = bus->id](const AudioResult& result) {
            Log::line("⚠️ Bus " + std::to_string(id) +
                      " engine failed to start: " + result.description() + " — continuing");
            if (!result.ok() && result.error() == AudioError::streamNotStarted) {
                retryBusStart(id);
            }
        };
        if (AudioResult started = buses_->start(bus->id, failed); started.ok()) {
            anyRunning = true;
        } else {
            failed(started);
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
        routing_->setupChannelAudio(channel);
    }
    isRunning = true;
    isIdleSuspended = false;
    meters_->startDrain();
    if (meters_->isUIVisible()) {
        meters_->startMeterTimer();
    }
    power_->noteActivity();
    if (powerMode.get() != PowerMode::alwaysOn) {
        power_->startIdleCheckTimer();
    }
    Log::line("▶️ Multi-Output Engine started");
    return true;
}

void MultiOutputEngine::stop() {
    cancelPendingSuspend();
    meters_->stopMeterTimer();
    power_->stopIdleCheckTimer();
    power_->stopIdleMonitor();
    power_->removeWakeListeners();
    removeAllDeviceObservers();
    const auto channels = inputChannels.get();
    for (const auto& channel : channels) {
        stopInputCapture(channel);
    }
    buses_->stopAll();
    meters_->stopDrain();
    isRunning = false;
    Log::line("⏹ Multi-Output Engine stopped");
}

void MultiOutputEngine::resetToEmpty() {
    stop();
    awaitedDevices_.clear();
    for (const auto& channel : inputChannels.get()) {
        routing_->teardownChannelAudio(*channel);
    }
    inputChannels = {};
    outputBusses = {};
    nextBusId_ = 2;
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
            info.deviceUID = catalog_->getDeviceUID(*channel->sourceDeviceID);
        }
        saved->push_back(std::move(info));
    }
    std::map<int, AudioOutputDevice> bindings;
    for (const auto& bus : outputBusses.get()) {
        if (auto device = bus->outputDevice.get()) {
            bindings[bus->id] = *device;
        }
    }
    stop();

    scanDevices();
    capture_->checkScreenCapturePermission([this, saved, bindings, done] {
        for (const auto& bus : outputBusses.get()) {
            auto it = bindings.find(bus->id);
            if (it == bindings.end()) {
                continue;
            }
            const auto& devices = availableOutputDevices.get();
            auto found = std::find_if(devices.begin(), devices.end(),
                                      [&](const auto& d) { return d.uid == it->second.uid; });
            if (found != devices.end()) {
                bus->outputDevice = *found;
            } else {
                // Gone meanwhile: the bus waits for it rather than binding to a stale id.
                bus->outputDevice = std::nullopt;
                awaitDevice(*bus, it->second);
                Log::line("⚠️ Bus " + std::to_string(bus->id) +
                          " device lost: " + it->second.name);
            }
        }
        EngineError error;
        if (!start(&error)) {
            Log::line("⚠️ start() failed during refreshAll: " + error.localizedDescription +
                      " — continuing with source restore");
        }
        restoreSources(saved, 0, [this, done] {
            for (const auto& bus : outputBusses.get()) {
                if (buses_->find(bus->id)) {
                    buses_->observe(bus);
                }
            }
            Log::line("✅ Refresh complete");
            if (done) {
                done();
            }
        });
    });
}

void MultiOutputEngine::restoreSources(std::shared_ptr<std::vector<ChannelSourceInfo>> saved,
                                       std::size_t next, Completion finish) {
    for (; next < saved->size(); ++next) {
        const ChannelSourceInfo& info = (*saved)[next];
        auto channel = this->channel(info.channelId);
        if (!channel) {
            // A channel removed meanwhile is skipped without the pause.
            continue;
        }
        restoreSource(channel, info.sourceType, info.deviceUID, info.appBundleId,
                      RestoreReason::refresh);
        // Give each restored source 50 ms before the next one.
        tasks_.postAfter(0.05,
                         [this, saved, next, finish] { restoreSources(saved, next + 1, finish); });
        return;
    }
    finish();
}

void MultiOutputEngine::prepareForSleep() {
    if (isSleeping_) {
        return;
    }
    isSleeping_ = true;
    buses_->cancelRecoveries();
    catalog_->cancelPendingRefresh();
    meters_->stopMeterTimer();
    stopCapturesKeepingSources();
    buses_->stopAll();
    removeAllDeviceObservers();
    power_->stopIdleMonitor();
    power_->removeWakeListeners();
    Log::line("😴 Prepared for system sleep - all engines stopped, source info preserved");
}

void MultiOutputEngine::resumeFromSleep() {
    if (!isSleeping_) {
        return;
    }
    Log::line("☀️ System woke - scheduling audio recovery...");
    tasks_.postAfter(5.0, [this] {
        isSleeping_ = false;
        Log::line("☀️ Restoring audio chain...");
        resumeAll([] { Log::line("✅ Audio recovery after wake complete"); });
    });
}

void MultiOutputEngine::resumeFromIdle() {
    power_->resumeFromIdle();
}

void MultiOutputEngine::resumeAll(Completion then) {
    cancelPendingSuspend();
    // The one way back from a pause (system sleep, idle suspension): rebuild everything, then
    // let the meters move again where they are seen.
    tasks_.post([this, then] {
        refreshAll([this, then] {
            if (meters_->isUIVisible()) {
                meters_->startMeterTimer();
            }
            then();
        });
    });
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

void MultiOutputEngine::suspendEngines() {
    // The buses fade out first; the captures and graphs stop once the fade has played.
    removeAllDeviceObservers();
    buses_->fadeOutAll();
    cancelPendingSuspend();
    pendingSuspend_ = tasks_.postAfter(kSuspendFadeSeconds, [this] {
        pendingSuspend_.reset();
        stopCapturesKeepingSources();
        buses_->stopAll();
    });
}

void MultiOutputEngine::cancelPendingSuspend() {
    if (pendingSuspend_) {
        pendingSuspend_->cancel();
        pendingSuspend_.reset();
    }
}

void MultiOutputEngine::removeAllDeviceObservers() {
    buses_->removeAllObservers();
    catalog_->cancelPendingRefresh();
}

std::shared_ptr<InputChannel> MultiOutputEngine::addInputChannel() {
    auto channel =
        std::make_shared<InputChannel>("Input " + std::to_string(inputChannels.get().size() + 1));
    routing_->setupChannelAudio(channel);
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
    routing_->teardownChannelAudio(*keep);
    auto list = inputChannels.get();
    std::erase_if(list, [&](const auto& c) { return c->id == keep->id; });
    inputChannels = std::move(list);
}

EngineDiagnostics MultiOutputEngine::diagnostics() const {
    EngineDiagnostics d;
    d.nextBusId = nextBusId_;
    catalog_->describe(d);
    buses_->describe(d);
    for (const auto& [busId, device] : awaitedDevices_) {
        auto it = std::find_if(d.buses.begin(), d.buses.end(),
                               [id = busId](const BusDiagnostics& b) { return b.busId == id; });
        if (it == d.buses.end()) {
            it = d.buses.insert(d.buses.end(), BusDiagnostics{});
            it->busId = busId;
        }
        it->awaitedDeviceUID = device.uid;
    }
    std::sort(d.buses.begin(), d.buses.end(),
              [](const auto& a, const auto& b) { return a.busId < b.busId; });
    routing_->describe(d);
    capture_->describe(d);
    meters_->describe(d);
    power_->describe(d);
    return d;
}

}  // namespace qv
