#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Audio/EngineAudioState.h"
#include "Audio/InputChannel.h"
#include "Audio/MixerTypes.h"
#include "Audio/OutputBus.h"
#include "Audio/Platform/AudioGraph.h"
#include "Audio/Platform/AudioHardware.h"
#include "Audio/Platform/CaptureService.h"
#include "Foundation/MainQueue.h"
#include "Foundation/Observable.h"
#include "Foundation/SettingsStore.h"
#include "Models/PresetFormat.h"

namespace qv {

// What the engine talks to: the main queue, stored settings, the device layer and the
// capture service.
struct EngineEnvironment {
    MainQueue& mainQueue;
    SettingsStore& settings;
    AudioHardware& hardware;
    CaptureService& capture;
};

// The error `start()` reports.
struct EngineError {
    std::string domain;
    int code = 0;
    std::string localizedDescription;
};

// The mixer: input channels, output buses with their graphs, devices, capture, metering and
// power management. One instance for the life of the program. Every operation runs on the
// main thread; asynchronous operations take a completion that runs on the main thread.
class MultiOutputEngine : public ObservableObject,
                          public std::enable_shared_from_this<MultiOutputEngine> {
  public:
    using Completion = std::function<void()>;

    // Creates the engine with bus 1 and schedules its start-up task on the main queue.
    // `startedUp` runs on the main queue once the start-up task has finished.
    static std::shared_ptr<MultiOutputEngine> create(const EngineEnvironment& environment,
                                                     Completion startedUp = {});
    ~MultiOutputEngine();
    MultiOutputEngine(const MultiOutputEngine&) = delete;
    MultiOutputEngine& operator=(const MultiOutputEngine&) = delete;

    // ---- Observable state -----------------------------------------------------------------
    Published<std::vector<std::shared_ptr<InputChannel>>> inputChannels{this, {}};
    Published<std::vector<std::shared_ptr<OutputBus>>> outputBusses{this, {}};
    Published<std::vector<AudioOutputDevice>> availableOutputDevices{this, {}};
    Published<std::vector<AudioInputDevice>> availableInputDevices{this, {}};
    Published<std::vector<RunningApplication>> capturableApps{this, {}};
    Published<bool> hasScreenCapturePermission{this, false};
    Published<bool> isRunning{this, false};
    Published<float> masterLevel{this, -60.0f};
    Published<std::uint32_t> bufferSize{this, 128};  // capture buffer size, frames
    // Wake threshold of the eco mode, dB; assignments are stored and copied for audio threads.
    Published<float> ecoWakeThreshold;
    // Assignments that change the mode run the mode transition.
    Published<PowerMode> powerMode{this, PowerMode::eco};
    Published<bool> isIdleSuspended{this, false};

    // ---- Plain state ----------------------------------------------------------------------
    // Whether some channel is soloed; read by audio threads.
    bool hasSoloActive() const { return audioState_->hasSoloActive.load(); }
    std::map<Uuid, std::shared_ptr<AudioGraph>> inputEngines;
    std::map<Uuid, std::shared_ptr<CaptureStream>> scStreams;
    std::map<Uuid, std::shared_ptr<struct CaptureOutputHandler>> scOutputHandlers;
    double sampleRate = 48000.0;
    // The copy of ecoWakeThreshold that audio threads read.
    float ecoWakeThresholdRaw() const { return audioState_->ecoWakeThreshold.load(); }
    std::optional<TaskHandle> meterTimer;
    bool isSleeping() const { return isSleeping_; }
    Seconds lastAudioActivity = 0;
    std::optional<TaskHandle> idleCheckTimer;
    Seconds idleTimeout = 60.0;
    std::set<DeviceID> wakeListenerDeviceIDs;
    std::map<DeviceID, AudioHardware::ListenerID> wakeListenerBlocks;
    DeviceID idleMonitorDeviceID = 0;
    std::optional<AudioHardware::IOProcID> idleMonitorIOProcID;
    // Set by the monitor's I/O thread when it fires; shared with it.
    bool idleMonitorTriggered() const { return audioState_->idleMonitorTriggered.load(); }
    struct ConfigObserver {
        std::weak_ptr<AudioGraph> graph;
        AudioGraph::ObserverToken token = 0;
    };
    std::map<int, ConfigObserver> busConfigObservers;
    std::map<int, TaskHandle> busRecoveryWorkItems;
    bool deviceListListenerInstalled = false;
    std::optional<TaskHandle> deviceListDebounceWorkItem;
    int nextBusId = 2;
    std::optional<TaskHandle> wakeDebounceWorkItem;

    // Whether a mixer view is on screen. Turning false stops the meter timer; turning true
    // starts it unless the engine is idle-suspended.
    bool isUIVisible() const { return isUIVisible_; }
    void setUIVisible(bool visible);

    // ---- Lifecycle ------------------------------------------------------------------------
    // Starts every bound bus graph. Fails only when buses have devices and none could start.
    bool start(EngineError* error = nullptr);
    void stop();
    void resetToEmpty();
    // Rebuilds every graph and restores each channel's source and each bus's device.
    void refreshAll(Completion done = {});
    void prepareForSleep();
    void resumeFromSleep();
    std::shared_ptr<InputChannel> addInputChannel();
    void removeInputChannel(const std::shared_ptr<InputChannel>& channel);

    // ---- Devices --------------------------------------------------------------------------
    std::vector<AudioOutputDevice> getOutputDevices() const;
    std::vector<AudioInputDevice> getInputDevices() const;
    std::string getDeviceUID(DeviceID device) const;
    std::string getDeviceName(DeviceID device) const;
    std::string getDeviceTransportType(DeviceID device) const;
    void scanDevices(Completion done = {});
    // Returns the device's rate afterwards, Hz.
    double setDeviceTo48kHz(DeviceID device);
    void installDeviceListListener();
    void debouncedDeviceListRefresh();
    void removeAllDeviceObservers();

    // ---- Output buses ---------------------------------------------------------------------
    std::shared_ptr<OutputBus> addOutputBus();
    void removeOutputBus(const std::shared_ptr<OutputBus>& bus);
    void assignDevice(const AudioOutputDevice& device, const std::shared_ptr<OutputBus>& bus);
    void unassignDevice(const std::shared_ptr<OutputBus>& bus);
    void setupOutputBus(const std::shared_ptr<OutputBus>& bus, const AudioOutputDevice& device);
    void updateBusFader(const std::shared_ptr<OutputBus>& bus);
    void updateBusMute(const std::shared_ptr<OutputBus>& bus);
    void updateBusDelay(const std::shared_ptr<OutputBus>& bus);
    void observeBusEngineConfig(const std::shared_ptr<OutputBus>& bus);
    void removeConfigObserver(int busId);
    void debouncedBusRecovery(const std::shared_ptr<OutputBus>& bus);
    void recoverBus(const std::shared_ptr<OutputBus>& bus);

    // ---- Equalisers -----------------------------------------------------------------------
    void configureEQNode(EQNode& node, const InputChannel& channel) const;
    void configureBusEQNode(EQNode& node, const OutputBus& bus) const;
    void updateChannelEQ(const std::shared_ptr<InputChannel>& channel);

    // ---- Channel routing ------------------------------------------------------------------
    void setupChannelAudio(const std::shared_ptr<InputChannel>& channel);
    void teardownChannelAudio(const std::shared_ptr<InputChannel>& channel);
    void setupChannelSourceInBus(const std::shared_ptr<InputChannel>& channel,
                                 const std::shared_ptr<OutputBus>& bus);
    // Capture thread: a gained, panned copy of `buffer` (internal format) on every assigned bus.
    void scheduleToAssignedBuses(const AudioPCMBuffer& buffer, InputChannel& channel, float gain);

    // ---- Sources --------------------------------------------------------------------------
    void setInputSource(const std::shared_ptr<InputChannel>& channel,
                        const AudioInputDevice& microphone);
    void setInputSource(const std::shared_ptr<InputChannel>& channel,
                        const RunningApplication& app);
    void setInputSourceSystemAudio(const std::shared_ptr<InputChannel>& channel);
    void clearInputSource(const std::shared_ptr<InputChannel>& channel);
    void stopInputCapture(const std::shared_ptr<InputChannel>& channel);
    // Captures a microphone into the channel on the low-latency or the standard path.
    void startMicrophoneCapture(const std::shared_ptr<InputChannel>& channel, DeviceID deviceID);
    // Captures one application, or all system audio when `bundleId` is empty or not running.
    void startAppCapture(const std::shared_ptr<InputChannel>& channel,
                         std::optional<std::string> bundleId, Completion done = {});
    void checkScreenCapturePermission(Completion done = {});
    void autoRecoverLostSources();

    // ---- Presets --------------------------------------------------------------------------
    // The whole mixer as a preset; the engine is left unchanged.
    MixerPreset createPreset(const std::string& name);
    // Replaces the whole mixer with the preset; channel sources are restored by separate
    // main-queue tasks after it returns.
    void applyPreset(const MixerPreset& preset);

    // ---- Meters and solo ------------------------------------------------------------------
    // Measuring entry points; any thread, never blocking. The values are applied on the main
    // thread in order.
    void updateChannelMeter(const InputChannel& channel, const AudioPCMBuffer& buffer);
    void updateChannelMeterDirect(const InputChannel& channel, const float* samples,
                                  std::int64_t count);
    void updateBusMeterFromBuffer(int busId, const AudioPCMBuffer& buffer);
    void updateBusMeterDirect(int busId, const float* samples, std::int64_t count);
    // Main thread: applies every value handed over so far (the drain timer calls it).
    void drainMeterValues();
    // Meter values dropped because the hand-over queue was full.
    std::uint64_t droppedMeterValues() const { return audioState_->droppedMeterValues(); }
    static constexpr Seconds kMeterDrainInterval = 0.02;
    void startMeterTimer();
    void updateMeters();
    void updateSoloState();

    // ---- Power ----------------------------------------------------------------------------
    // Any thread: records that audio is present (applied on the main thread).
    void markAudioActivity();
    void startIdleCheckTimer();
    void checkIdleState();
    void suspendForIdle();
    void resumeFromIdle();
    std::optional<DeviceID> findIdleMonitorDevice() const;
    void startIdleMonitor();
    void stopIdleMonitor();
    void collectWakeDevices();
    void installWakeListeners();
    void removeWakeListeners();

    MainQueue& mainQueue() const { return env_.mainQueue; }
    AudioHardware& hardware() const { return env_.hardware; }

  private:
    explicit MultiOutputEngine(const EngineEnvironment& environment);
    void scheduleStartUp(Completion startedUp);
    void autoStart(Completion done);
    void releaseBusChannelNodes(int busId);
    // Stops and detaches the channel's player chains (players and their equalisers).
    void releasePlayerChains(InputChannel& channel);
    // Sets the channel's source error on the main queue, later.
    void setSourceErrorLater(const std::shared_ptr<InputChannel>& channel,
                             std::optional<std::string> error);
    // Stops every capture; each channel keeps the description of its source.
    void stopCapturesKeepingSources();
    void buildPlayerChain(const std::shared_ptr<InputChannel>& channel,
                          const std::shared_ptr<OutputBus>& bus);
    void restoreSources(std::shared_ptr<std::vector<ChannelSourceInfo>> saved, std::size_t index,
                        Completion finish);
    void applyPowerModeTransition(PowerMode mode);
    void restoreChannelSource(const std::shared_ptr<InputChannel>& channel,
                              const InputChannelPreset& preset);
    std::weak_ptr<MultiOutputEngine> weak() { return weak_from_this(); }

    void startMeterDrain();
    void stopMeterDrain();
    void applyMeterMessage(const MeterMessage& message);
    void onWakeListener(DeviceID device);

    EngineEnvironment env_;
    std::shared_ptr<EngineAudioState> audioState_ = std::make_shared<EngineAudioState>();
    std::optional<TaskHandle> meterDrainTimer_;
    bool isUIVisible_ = true;
    bool isSleeping_ = false;
    PowerMode appliedPowerMode_ = PowerMode::eco;
    std::vector<Subscription> ownSubscriptions_;
    std::vector<Subscription> soloSubscriptions_;
};

}  // namespace qv
