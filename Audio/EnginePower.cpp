// Idle suspension and the power-mode transitions.

#include "Audio/MultiOutputEngine.h"
#include "Foundation/Log.h"

namespace qv {

void MultiOutputEngine::markAudioActivity() {
    lastAudioActivity = env_.mainQueue.now();
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
        Log::line("💤 ECO idle - engines stopped, IOProc audio monitor active");
    } else {
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

void MultiOutputEngine::stopIdleMonitor() {
    // The idle monitor is installed by the eco-mode suspend; nothing runs until then.
    idleMonitorIOProcID.reset();
    idleMonitorTriggered.store(false);
}

void MultiOutputEngine::removeWakeListeners() {
    if (wakeDebounceWorkItem) {
        wakeDebounceWorkItem->cancel();
    }
    for (auto& [device, listener] : wakeListenerBlocks) {
        env_.hardware.removePropertyListener(listener);
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
        return;
    }
    stopIdleMonitor();
    lastAudioActivity = env_.mainQueue.now();
    if (isRunning.get()) {
        startIdleCheckTimer();
    }
}

}  // namespace qv
