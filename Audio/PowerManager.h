#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "Audio/EngineAudioState.h"
#include "Audio/MeterHub.h"
#include "Audio/MixerState.h"
#include "Audio/Platform/AudioHardware.h"
#include "Foundation/TaskScope.h"

namespace qv {

struct EngineDiagnostics;

// The power modes: in the two ECO modes the engine suspends after a minute without audio and
// wakes again on a sign of audio (the level monitor on the loopback device in `eco`, wake
// listeners on the microphones in use in both). Main thread.
class PowerManager {
  public:
    // Inactivity before the engine suspends, seconds.
    static constexpr Seconds kIdleTimeout = 60.0;

    // What the engine does for a suspend and a resume.
    struct Hooks {
        std::function<bool()> isSleeping;
        // Stops every capture (keeping the channels' sources), every bus graph, the device
        // watches and the meters.
        std::function<void()> suspendEngines;
        // Rebuilds everything and restores every source, then calls `done`.
        std::function<void(std::function<void()> done)> resumeEngines;
    };
    PowerManager(MixerState& state, AudioHardware& hardware, MainQueue& queue, MeterHub& meters,
                 std::shared_ptr<EngineAudioState> audio, Hooks hooks);
    ~PowerManager();
    PowerManager(const PowerManager&) = delete;
    PowerManager& operator=(const PowerManager&) = delete;

    // The 10 s idle check; it suspends once 60 s have passed without activity.
    void startIdleCheckTimer();
    void stopIdleCheckTimer();
    void checkIdleState();
    // Audio was seen now (or the engine started, changed mode or resumed).
    void noteActivity();
    Seconds lastAudioActivity() const { return lastAudioActivity_; }

    void suspendForIdle();
    void resumeFromIdle();
    // A drained activity mark or monitor wake.
    void handle(const MeterMessage& message);

    // The mode transition for a new mode.
    void applyPowerModeTransition(PowerMode mode);

    std::optional<DeviceID> findIdleMonitorDevice() const;
    void startIdleMonitor();
    void stopIdleMonitor();
    void collectWakeDevices();
    void installWakeListeners();
    void removeWakeListeners();

    void describe(EngineDiagnostics& diagnostics) const;

  private:
    void onWakeListener(DeviceID device);

    MixerState& state_;
    AudioHardware& hardware_;
    TaskScope tasks_;
    MeterHub& meters_;
    std::shared_ptr<EngineAudioState> audio_;
    Hooks hooks_;
    Seconds lastAudioActivity_ = 0;
    std::optional<TaskHandle> idleCheckTimer_;
    std::set<DeviceID> wakeListenerDeviceIDs_;
    std::map<DeviceID, AudioHardware::ListenerID> wakeListenerBlocks_;
    DeviceID idleMonitorDeviceID_ = kNoDevice;
    std::optional<AudioHardware::IOProcID> idleMonitorIOProcID_;
    std::optional<TaskHandle> wakeDebounceWorkItem_;
};

}  // namespace qv
