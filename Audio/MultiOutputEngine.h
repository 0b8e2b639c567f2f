#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Audio/EngineDiagnostics.h"
#include "Audio/EngineEnvironment.h"
#include "Audio/MixerState.h"
#include "Foundation/TaskScope.h"
#include "Models/PresetFormat.h"

namespace qv {

class BusGraphs;
class ChannelRouting;
class DeviceCatalog;
class EngineAudioState;
class MeterHub;
class PowerManager;
class SourceCapture;

// The mixer: input channels, output buses with their graphs, devices, capture, metering and
// power management. One instance for the life of the program. Its observable state is the
// MixerState it extends; views read it and call these operations. Everything runs on the main
// thread; asynchronous operations call their completion on the main thread.
class MultiOutputEngine : public MixerState {
  public:
    using Completion = std::function<void()>;
    // How long the buses fade out before an idle suspension stops them, seconds.
    static constexpr Seconds kSuspendFadeSeconds = 0.02;

    // Creates the engine with bus 1 and schedules its start-up (device scan, capture
    // permission, automatic start, device-list watch); `startedUp` runs after it.
    static std::shared_ptr<MultiOutputEngine> create(const EngineEnvironment& environment,
                                                     Completion startedUp = {});
    ~MultiOutputEngine();

    // Wake threshold of the eco mode, dB; every assignment is stored and reaches the monitor.
    Published<float> ecoWakeThreshold;
    // Whether a mixer view is on screen: meters move only then.
    bool isUIVisible() const;
    void setUIVisible(bool visible);
    bool isSleeping() const { return isSleeping_; }
    bool hasSoloActive() const;

    // Starts every bound bus; fails only when buses have devices and none could start.
    bool start(EngineError* error = nullptr);
    void stop();
    void resetToEmpty();
    // Rebuilds every graph, keeping each channel's source and each bus's device.
    void refreshAll(Completion done = {});
    void prepareForSleep();
    // Rebuilds everything 5 s after the system woke.
    void resumeFromSleep();
    void resumeFromIdle();
    std::shared_ptr<InputChannel> addInputChannel();
    void removeInputChannel(const std::shared_ptr<InputChannel>& channel);

    // At most 4 buses; none at the limit.
    std::shared_ptr<OutputBus> addOutputBus();
    // The last bus stays.
    void removeOutputBus(const std::shared_ptr<OutputBus>& bus);
    void assignDevice(const AudioOutputDevice& device, const std::shared_ptr<OutputBus>& bus);
    void unassignDevice(const std::shared_ptr<OutputBus>& bus);
    // A bus's settings onto its graph, after a view changed them.
    void updateBusFader(const std::shared_ptr<OutputBus>& bus);
    void updateBusMute(const std::shared_ptr<OutputBus>& bus);
    void updateBusDelay(const std::shared_ptr<OutputBus>& bus);
    void updateBusEQ(const std::shared_ptr<OutputBus>& bus);
    void updateChannelEQ(const std::shared_ptr<InputChannel>& channel);
    void updateSoloState();

    void setInputSource(const std::shared_ptr<InputChannel>& channel,
                        const AudioInputDevice& microphone);
    void setInputSource(const std::shared_ptr<InputChannel>& channel,
                        const RunningApplication& app);
    void setInputSourceSystemAudio(const std::shared_ptr<InputChannel>& channel);
    void clearInputSource(const std::shared_ptr<InputChannel>& channel);

    // The whole mixer as a preset; the engine is left unchanged.
    MixerPreset createPreset(const std::string& name);
    // Replaces the whole mixer; the channels' sources are restored by later main-queue tasks.
    void applyPreset(const MixerPreset& preset);

    EngineDiagnostics diagnostics() const;

  private:
    explicit MultiOutputEngine(const EngineEnvironment& environment);
    enum class RestoreReason { refresh, recovery, preset };
    void startUp(Completion startedUp);
    void autoStart();
    void scanDevices();
    void setupOutputBus(const std::shared_ptr<OutputBus>& bus, const AudioOutputDevice& device,
                        Completion started = {});
    // Logs a failure, now or later; `started` runs once the bus plays.
    bool startBusGraph(const OutputBus& bus, Completion started = {});
    void recoverBus(const std::shared_ptr<OutputBus>& bus);
    void stopInputCapture(const std::shared_ptr<InputChannel>& channel);
    void setDeviceTo48kHz(DeviceID device);
    void autoRecoverLostSources();
    // A channel without a source still names an application to capture.
    bool awaitsApplication() const;
    // A bus without a device waits for the one it lost (or a preset named): when a device with
    // that uid appears, the bus binds to it again. Choosing or clearing the bus's device ends
    // the wait.
    void awaitDevice(const OutputBus& bus, AudioOutputDevice device);
    void retryBusStart(int busId);
    void rebindReturnedDevices();
    bool restoreSource(const std::shared_ptr<InputChannel>& channel, InputSourceType type,
                       const std::optional<std::string>& deviceUID,
                       const std::optional<std::string>& appBundleId, RestoreReason reason);
    void restoreSources(std::shared_ptr<std::vector<ChannelSourceInfo>> saved, std::size_t next,
                        Completion finish);
    void stopCapturesKeepingSources();
    void suspendEngines();
    void removeAllDeviceObservers();
    void resumeAll(Completion then);

    EngineEnvironment env_;
    std::shared_ptr<EngineAudioState> audio_;
    TaskScope tasks_;
    std::unique_ptr<DeviceCatalog> catalog_;
    std::unique_ptr<BusGraphs> buses_;
    std::unique_ptr<ChannelRouting> routing_;
    std::unique_ptr<SourceCapture> capture_;
    std::unique_ptr<MeterHub> meters_;
    std::unique_ptr<PowerManager> power_;
    int nextBusId_ = 2;
    std::map<int, AudioOutputDevice> awaitedDevices_;  // by bus id
    std::map<int, Seconds> busRetryDelays_;            // by bus id
    std::map<int, TaskHandle> busRetries_;             // by bus id
    // The stop of a suspension, once its fade-out has played.
    std::optional<TaskHandle> pendingSuspend_;
    void cancelPendingSuspend();
    bool isSleeping_ = false;
    PowerMode appliedPowerMode_ = PowerMode::eco;
    std::vector<Subscription> subscriptions_;
};

}  // namespace qv
