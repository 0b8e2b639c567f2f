// Power modes: idle suspension after a minute of silence, the level monitor on the loopback
// device, wake listeners on microphones in use, and the mode transitions.

#include <cmath>
#include <sstream>

#include "Audio/MultiOutputEngine.h"
#include "Foundation/Log.h"

namespace qv {

void MultiOutputEngine::markAudioActivity() {
    MeterMessage message;
    message.kind = MeterMessage::Kind::audioActivity;
    audioState_->post(message);
}

void MultiOutputEngine::startIdleCheckTimer() {
    if (idleCheckTimer) {
        idleCheckTimer->cancel();
    }
    std::weak_ptr<MultiOutputEngine> weakSelf = weak_from_this();
    idleCheckTimer = env_.mainQueue.scheduleRepeating(10.0, [weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->checkIdleState();
        }
    });
}

void MultiOutputEngine::checkIdleState() {
    if (!isRunning.get() || isSleeping_ || isIdleSuspended.get()) {
        return;
    }
    if (env_.mainQueue.now() - lastAudioActivity >= idleTimeout) {
        suspendForIdle();
    }
}

void MultiOutputEngine::suspendForIdle() {
    if (isIdleSuspended.get()) {
        return;
    }
    isIdleSuspended = true;
    collectWakeDevices();
    stopCapturesKeepingSources();
    for (const auto& bus : outputBusses.get()) {
        if (bus->outputEngine) {
            bus->outputEngine->stop();
        }
    }
    removeAllDeviceObservers();
    stopMeterDrain();
    if (meterTimer) {
        meterTimer->cancel();
        meterTimer.reset();
    }
    for (const auto& channel : inputChannels.get()) {
        channel->meterLevel = -60.0f;
        channel->peakLevel = -60.0f;
    }
    for (const auto& bus : outputBusses.get()) {
        bus->meterLevel = -60.0f;
        bus->peakLevel = -60.0f;
    }
    masterLevel = -60.0f;
    if (powerMode.get() == PowerMode::eco) {
        startIdleMonitor();
        if (idleMonitorIOProcID) {
            wakeListenerDeviceIDs.erase(idleMonitorDeviceID);
            Log::systemf("👂 Excluded device %d from wake listeners (used by IOProc monitor)",
                         static_cast<int>(idleMonitorDeviceID));
        }
        installWakeListeners();
        Log::line("💤 ECO idle - engines stopped, IOProc audio monitor active");
    } else {
        installWakeListeners();
        Log::line(
            "💤 ECO Sleep idle - engines stopped, manual wake only (vol keys), system can sleep");
    }
}

void MultiOutputEngine::resumeFromIdle() {
    if (!isIdleSuspended.get() || isSleeping_) {
        return;
    }
    Log::line("⏰ Resuming from idle suspend...");
    stopIdleMonitor();
    removeWakeListeners();
    isIdleSuspended = false;
    lastAudioActivity = env_.mainQueue.now();
    std::weak_ptr<MultiOutputEngine> weakSelf = weak_from_this();
    env_.mainQueue.post([weakSelf] {
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
            if (self->powerMode.get() != PowerMode::alwaysOn) {
                self->startIdleCheckTimer();
            }
            Log::line("✅ Resumed from idle suspend");
        });
    });
}

std::optional<DeviceID> MultiOutputEngine::findIdleMonitorDevice() const {
    const auto& inputs = availableInputDevices.get();
    auto contains = [](const std::string& name, const char* part) {
        return name.find(part) != std::string::npos;
    };
    for (const auto& channel : inputChannels.get()) {
        if (channel->sourceType != InputSourceType::microphone || !channel->sourceDeviceID) {
            continue;
        }
        for (const auto& device : inputs) {
            if (device.deviceID == *channel->sourceDeviceID &&
                (contains(device.name, "BlackHole") || contains(device.name, "Quorvanta"))) {
                return device.deviceID;
            }
        }
    }
    for (const auto& device : inputs) {
        if (contains(device.name, "Quorvanta System")) {
            return device.deviceID;
        }
    }
    for (const auto& device : inputs) {
        if (contains(device.name, "Quorvanta") || contains(device.name, "BlackHole")) {
            return device.deviceID;
        }
    }
    return std::nullopt;
}

void MultiOutputEngine::startIdleMonitor() {
    stopIdleMonitor();
    auto device = findIdleMonitorDevice();
    if (!device) {
        Log::system("⚠️ No virtual device found for idle monitor");
        return;
    }
    audioState_->idleMonitorTriggered.store(false);
    idleMonitorDeviceID = *device;
    std::string name = "unknown";
    for (const auto& d : availableInputDevices.get()) {
        if (d.deviceID == *device) {
            name = d.name;
            break;
        }
    }
    Log::systemf("👂 Starting idle monitor on device %d (%s)", static_cast<int>(*device),
                 name.c_str());
    // The device's I/O thread: measure, and hand one wake request over without blocking.
    auto state = audioState_;
    const DeviceID monitored = *device;
    AudioError error = AudioError::deviceNotFound;
    auto id = env_.hardware.createIOProc(
        monitored,
        [state, monitored](const float* samples, std::size_t byteSize) {
            if (state->idleMonitorTriggered.load() || !samples || byteSize <= 3) {
                return;
            }
            const std::size_t n = byteSize / sizeof(float);
            float sum = 0.0f;
            for (std::size_t i = 0; i < n; ++i) {
                sum += samples[i] * samples[i];
            }
            const float rms = std::sqrt(sum / static_cast<float>(n));
            const float level = 20.0f * std::log10(std::max(rms, 1e-10f));
            if (level > state->ecoWakeThreshold.load()) {
                state->idleMonitorTriggered.store(true);
                MeterMessage message;
                message.kind = MeterMessage::Kind::monitorWake;
                message.busId = static_cast<int>(monitored);
                message.level = level;
                state->post(message);
            }
        },
        &error);
    if (!id) {
        Log::systemf("❌ Failed to create idle monitor IOProc: %d", AudioResult(error).code());
        return;
    }
    idleMonitorIOProcID = *id;
    if (AudioResult started = env_.hardware.startIOProc(monitored, *id); !started.ok()) {
        Log::systemf("❌ Failed to start idle monitor IOProc: %d", started.code());
        env_.hardware.destroyIOProc(monitored, *id);
        idleMonitorIOProcID.reset();
        return;
    }
    // The wake request travels through the meter hand-over, drained on the main thread.
    startMeterDrain();
    Log::systemf("✅ Idle monitor IOProc started successfully on device %d (%s)",
                 static_cast<int>(monitored), name.c_str());
}

void MultiOutputEngine::stopIdleMonitor() {
    if (!idleMonitorIOProcID) {
        return;
    }
    env_.hardware.stopIOProc(idleMonitorDeviceID, *idleMonitorIOProcID);
    env_.hardware.destroyIOProc(idleMonitorDeviceID, *idleMonitorIOProcID);
    idleMonitorIOProcID.reset();
    audioState_->idleMonitorTriggered.store(false);
    Log::line("🔇 Idle monitor stopped");
}

void MultiOutputEngine::collectWakeDevices() {
    wakeListenerDeviceIDs.clear();
    for (const auto& channel : inputChannels.get()) {
        if (channel->sourceType == InputSourceType::microphone && channel->sourceDeviceID) {
            wakeListenerDeviceIDs.insert(*channel->sourceDeviceID);
        }
    }
    std::ostringstream text;
    text << "[";
    bool first = true;
    for (auto id : wakeListenerDeviceIDs) {
        text << (first ? "" : ", ") << id;
        first = false;
    }
    text << "]";
    Log::systemf("👂 Wake monitor devices (assigned only): %s", text.str().c_str());
}

void MultiOutputEngine::installWakeListeners() {
    std::weak_ptr<MultiOutputEngine> weakSelf = weak_from_this();
    for (DeviceID device : wakeListenerDeviceIDs) {
        auto id = env_.hardware.addPropertyListener(device, DeviceProperty::runningSomewhere,
                                                    [weakSelf, device] {
                                                        if (auto self = weakSelf.lock()) {
                                                            self->onWakeListener(device);
                                                        }
                                                    });
        if (id != 0) {
            wakeListenerBlocks[device] = id;
            Log::line("👂 Wake listener installed on device " + std::to_string(device));
        }
    }
}

void MultiOutputEngine::onWakeListener(DeviceID device) {
    if (!isIdleSuspended.get()) {
        return;
    }
    const auto running = env_.hardware.isRunningSomewhere(device);
    if (!running || !*running) {
        Log::line("👂 Wake listener: device " + std::to_string(device) + " stopped - ignoring");
        return;
    }
    if (wakeDebounceWorkItem) {
        wakeDebounceWorkItem->cancel();
    }
    std::weak_ptr<MultiOutputEngine> weakSelf = weak_from_this();
    wakeDebounceWorkItem = env_.mainQueue.postAfter(0.5, [weakSelf, device] {
        auto self = weakSelf.lock();
        if (!self || !self->isIdleSuspended.get()) {
            return;
        }
        Log::line("🔔 Wake: audio detected on device " + std::to_string(device));
        self->resumeFromIdle();
    });
}

void MultiOutputEngine::removeWakeListeners() {
    if (wakeDebounceWorkItem) {
        wakeDebounceWorkItem->cancel();
    }
    for (auto& [device, listener] : wakeListenerBlocks) {
        env_.hardware.removeListener(listener);
    }
    wakeListenerBlocks.clear();
    wakeListenerDeviceIDs.clear();
}

void MultiOutputEngine::applyPowerModeTransition(PowerMode mode) {
    if (mode == PowerMode::alwaysOn) {
        if (isIdleSuspended.get()) {
            resumeFromIdle();
        }
        if (idleCheckTimer) {
            idleCheckTimer->cancel();
            idleCheckTimer.reset();
        }
        stopIdleMonitor();
        removeWakeListeners();
        return;
    }
    if (isIdleSuspended.get()) {
        stopIdleMonitor();
        removeWakeListeners();
        collectWakeDevices();
        if (mode == PowerMode::eco) {
            startIdleMonitor();
            if (idleMonitorIOProcID) {
                wakeListenerDeviceIDs.erase(idleMonitorDeviceID);
            }
        }
        installWakeListeners();
        return;
    }
    stopIdleMonitor();
    lastAudioActivity = env_.mainQueue.now();
    if (isRunning.get()) {
        startIdleCheckTimer();
    }
}

}  // namespace qv
