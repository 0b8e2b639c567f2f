#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "Audio/EngineAudioState.h"
#include "Audio/MixerState.h"
#include "Foundation/TaskScope.h"

namespace qv {

struct EngineDiagnostics;

// The main-thread side of metering and solo: applies the levels audio threads hand over
// (smoothed into meterLevel and peakLevel), lets the meters fall five times a second, keeps the
// master level, and keeps the engine-wide solo flag in step with every channel's solo. Main
// thread.
class MeterHub {
  public:
    // How often the hand-over is drained while something measures, seconds.
    static constexpr Seconds kMeterDrainInterval = 0.02;

    MeterHub(MixerState& state, MainQueue& queue, std::shared_ptr<EngineAudioState> audio);
    ~MeterHub();
    MeterHub(const MeterHub&) = delete;
    MeterHub& operator=(const MeterHub&) = delete;

    // Activity marks and monitor wakes go here, in order with the levels.
    void setPowerMessageHandler(std::function<void(const MeterMessage&)> handler);
    // Runs after every drain (the routing frees what audio threads no longer see).
    void setDrainHook(std::function<void()> hook);

    // Drains the hand-over every kMeterDrainInterval until stopped; stopping drains once more.
    void startDrain();
    void stopDrain();
    void drainMeterValues();

    // Whether a mixer view is on screen; levels are applied only then.
    bool isUIVisible() const { return isUIVisible_; }
    void setUIVisible(bool visible) { isUIVisible_ = visible; }

    // The 0.2 s decay timer; starts only while the engine runs.
    void startMeterTimer();
    void stopMeterTimer();
    bool hasMeterTimer() const { return meterTimer_.has_value(); }
    void updateMeters();
    // Every meter and the master level back to −60 dB.
    void resetLevels();

    void updateSoloState();

    void describe(EngineDiagnostics& diagnostics) const;

  private:
    void apply(const MeterMessage& message);
    void followSolo();

    MixerState& state_;
    TaskScope tasks_;
    std::shared_ptr<EngineAudioState> audio_;
    std::function<void(const MeterMessage&)> onPowerMessage_;
    std::function<void()> drainHook_;
    std::optional<TaskHandle> drainTimer_;
    std::optional<TaskHandle> meterTimer_;
    bool isUIVisible_ = true;
    Subscription channelsChanged_;
    std::vector<Subscription> soloSubscriptions_;
};

}  // namespace qv
