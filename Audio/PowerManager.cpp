// Power modes: idle suspension after a minute of silence, the level monitor on the loopback
// device, wake listeners on microphones in use, and the mode transitions.

#include "Audio/PowerManager.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "Audio/EngineDiagnostics.h"
#include "Foundation/Log.h"

namespace qv {

PowerManager::PowerManager(MixerState& state, AudioHardware& hardware, MainQueue& queue,
                           MeterHub& meters, std::shared_ptr<EngineAudioState> audio, Hooks hooks)
    : state_(state),
      hardware_(hardware),
      tasks_(queue),
      meters_(meters),
      audio_(std::move(audio)),
      hooks_(std::move(hooks)),
      lastAudioActivity_(queue.now()) {}

PowerManager::~PowerManager() {
    stopIdleCheckTimer();
    if (wakeDebounceWorkItem_) {
        wakeDebounceWorkItem_->cancel();
    }
}

void PowerManager::startIdleCheckTimer() {
    if (idleCheckTimer_) {
        idleCheckTimer_->cancel();
    }
    idleCheckTimer_ = tasks_.scheduleRepeating(10.0, [this] { checkIdleState(); });
}

void PowerManager::stopIdleCheckTimer() {
    if (idleCheckTimer_) {
        idleCheckTimer_->cancel();
        idleCheckTimer_.reset();
    }
}

void PowerManager::checkIdleState() {
    if (!state_.isRunning.get() || hooks_.isSleeping() || state_.isIdleSuspended.get()) {
        return;
    }
    if (tasks_.now() - lastAudioActivity_ >= kIdleTimeout) {
        suspendForIdle();
    }
}

void PowerManager::noteActivity() {
    lastAudioActivity_ = tasks_.now();
}

void PowerManager::handle(const MeterMessage& message) {
    if (message.kind == MeterMessage::Kind::audioActivity) {
        noteActivity();
        return;
    }
    if (message.kind == MeterMessage::Kind::monitorWake) {
        Log::systemf("🎤 IOProc AUDIO DETECTED: dB=%.1f (threshold %.0f) on device %d - WAKING UP",
                     static_cast<double>(message.level),
                     static_cast<double>(audio_->ecoWakeThreshold.load()), message.busId);
        stopIdleMonitor();
        resumeFromIdle();
    }
}

void PowerManager::suspendForIdle() {
    if (state_.isIdleSuspended.get()) {
        return;
    }
    state_.isIdleSuspended = true;
    collectWakeDevices();
    hooks_.suspendEngines();
    meters_.stopDrain();
    meters_.stopMeterTimer();
    meters_.resetLevels();
    if (state_.powerMode.get() == PowerMode::eco) {
        startIdleMonitor();
        if (idleMonitorIOProcID_) {
            wakeListenerDeviceIDs_.erase(idleMonitorDeviceID_);
            Log::systemf("👂 Excluded device %d from wake listeners (used by IOProc monitor)",
                         static_cast<int>(idleMonitorDeviceID_));
        }
        installWakeListeners();
        Log::line("💤 ECO idle - engines stopped, IOProc audio monitor active");
    } else {
        installWakeListeners();
        Log::line(
            "💤 ECO Sleep idle - engines stopped, manual wake only (vol keys), system can sleep");
    }
}

void PowerManager::resumeFromIdle() {
    if (!state_.isIdleSuspended.get() || hooks_.isSleeping()) {
        return;
    }
    Log::line("⏰ Resuming from idle suspend...");
    stopIdleMonitor();
    removeWakeListeners();
    state_.isIdleSuspended = false;
    noteActivity();
    hooks_.resumeEngines([this] {
        if (state_.powerMode.get() != PowerMode::alwaysOn) {
            startIdleCheckTimer();
        }
        Log::line("✅ Resumed from idle suspend");
    });
}

std::optional<DeviceID> PowerManager::findIdleMonitorDevice() const {
    const auto& inputs = state_.availableInputDevices.get();
    auto contains = [](const std::string& name, const char* part) {
        return name.find(part) != std::string::npos;
    };
    for (const auto& channel : state_.inputChannels.get()) {
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

void PowerManager::startIdleMonitor() {
    stopIdleMonitor();
    auto device = findIdleMonitorDevice();
    if (!device) {
        Log::system("⚠️ No virtual device found for idle monitor");
        return;
    }
    audio_->idleMonitorTriggered.store(false);
    idleMonitorDeviceID_ = *device;
    std::string name = "unknown";
    for (const auto& d : state_.availableInputDevices.get()) {
        if (d.deviceID == *device) {
            name = d.name;
            break;
        }
    }
    Log::systemf("👂 Starting idle monitor on device %d (%s)", static_cast<int>(*device),
                 name.c_str());
    // The device's I/O thread: measure, and hand one wake request over without blocking.
    const DeviceID monitored = *device;
    AudioError error = AudioError::deviceNotFound;
    auto id = hardware_.createIOProc(
        monitored,
        [state = audio_, monitored](const float* samples, std::size_t byteSize) {
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
        &error, tasks_.guard<AudioResult>([this, monitored](AudioResult failure) {
            // The monitor could not open after all: it is not installed.
            if (idleMonitorIOProcID_ && idleMonitorDeviceID_ == monitored) {
                Log::systemf("❌ Failed to start idle monitor IOProc: %d", failure.code());
                hardware_.destroyIOProc(monitored, *idleMonitorIOProcID_);
                idleMonitorIOProcID_.reset();
            }
        }));
    if (!id) {
        Log::systemf("❌ Failed to create idle monitor IOProc: %d", AudioResult(error).code());
        return;
    }
    idleMonitorIOProcID_ = *id;
    if (AudioResult started = hardware_.startIOProc(monitored, *id); !started.ok()) {
        Log::systemf("❌ Failed to start idle monitor IOProc: %d", started.code());
        hardware_.destroyIOProc(monitored, *id);
        idleMonitorIOProcID_.reset();
        return;
    }
    // The wake request travels through the meter hand-over, drained on the main thread.
    meters_.startDrain();
    Log::systemf("✅ Idle monitor IOProc started successfully on device %d (%s)",
                 static_cast<int>(monitored), name.c_str());
}

void PowerManager::stopIdleMonitor() {
    if (!idleMonitorIOProcID_) {
        return;
    }
    hardware_.stopIOProc(idleMonitorDeviceID_, *idleMonitorIOProcID_);
    hardware_.destroyIOProc(idleMonitorDeviceID_, *idleMonitorIOProcID_);
    idleMonitorIOProcID_.reset();
    audio_->idleMonitorTriggered.store(false);
    Log::line("🔇 Idle monitor stopped");
}

void PowerManager::collectWakeDevices() {
    wakeListenerDeviceIDs_.clear();
    for (const auto& channel : state_.inputChannels.get()) {
        if (channel->sourceType == InputSourceType::microphone && channel->sourceDeviceID) {
            wakeListenerDeviceIDs_.insert(*channel->sourceDeviceID);
        }
    }
    std::ostringstream text;
    text << "[";
    bool first = true;
    for (auto id : wakeListenerDeviceIDs_) {
        text << (first ? "" : ", ") << id;
        first = false;
    }
    text << "]";
    Log::systemf("👂 Wake monitor devices (assigned only): %s", text.str().c_str());
}

void PowerManager::installWakeListeners() {
    for (DeviceID device : wakeListenerDeviceIDs_) {
        auto id =
            hardware_.addPropertyListener(device, DeviceProperty::runningSomewhere,
                                          tasks_.guard([this, device] { onWakeListener(device); }));
        if (id != 0) {
            wakeListenerBlocks_[device] = id;
            Log::line("👂 Wake listener installed on device " + std::to_string(device));
        }
    }
}

void PowerManager::onWakeListener(DeviceID device) {
    if (!state_.isIdleSuspended.get()) {
        return;
    }
    const auto running = hardware_.isRunningSomewhere(device);
    if (!running || !*running) {
        Log::line("👂 Wake listener: device " + std::to_string(device) + " stopped - ignoring");
        return;
    }
    if (wakeDebounceWorkItem_) {
        wakeDebounceWorkItem_->cancel();
    }
    wakeDebounceWorkItem_ = tasks_.postAfter(0.5, [this, device] {
        if (!state_.isIdleSuspended.get()) {
            return;
        }
        Log::line("🔔 Wake: audio detected on device " + std::to_string(device));
        resumeFromIdle();
    });
}

void PowerManager::removeWakeListeners() {
    if (wakeDebounceWorkItem_) {
        wakeDebounceWorkItem_->cancel();
    }
    for (auto& [device, listener] : wakeListenerBlocks_) {
        hardware_.removeListener(listener);
    }
    wakeListenerBlocks_.clear();
    wakeListenerDeviceIDs_.clear();
}

void PowerManager::applyPowerModeTransition(PowerMode mode) {
    if (mode == PowerMode::alwaysOn) {
        if (state_.isIdleSuspended.get()) {
            resumeFromIdle();
        }
        stopIdleCheckTimer();
        stopIdleMonitor();
        removeWakeListeners();
        return;
    }
    if (state_.isIdleSuspended.get()) {
        stopIdleMonitor();
        removeWakeListeners();
        collectWakeDevices();
        if (mode == PowerMode::eco) {
            startIdleMonitor();
            if (idleMonitorIOProcID_) {
                wakeListenerDeviceIDs_.erase(idleMonitorDeviceID_);
            }
        }
        installWakeListeners();
        return;
    }
    stopIdleMonitor();
    noteActivity();
    if (state_.isRunning.get()) {
        startIdleCheckTimer();
    }
}

void PowerManager::describe(EngineDiagnostics& diagnostics) const {
    diagnostics.hasIdleCheckTimer = idleCheckTimer_.has_value();
    diagnostics.lastAudioActivity = lastAudioActivity_;
    if (idleMonitorIOProcID_) {
        diagnostics.idleMonitorDevice = idleMonitorDeviceID_;
    }
    for (const auto& [device, listener] : wakeListenerBlocks_) {
        diagnostics.wakeListenerDevices.push_back(device);
    }
}

}  // namespace qv
