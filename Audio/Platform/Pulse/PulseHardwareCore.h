#pragma once

// Internals shared by the device table and the streams of the sound-server backend.

#include <pulse/pulseaudio.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Audio/Platform/Pulse/PulseAudioHardware.h"
#include "Audio/Platform/Pulse/PulseContext.h"
#include "Audio/Platform/Pulse/PulseEvents.h"

namespace qv {

// One sink or source as the main thread sees it.
struct PulseDevice {
    DeviceID id = kNoDevice;
    bool isSink = false;
    std::uint32_t index = PA_INVALID_INDEX;  // the server's index
    std::string uid;                         // the server's object name
    std::string name;                        // its description
    std::uint32_t channels = 0;
    double rate = 0;
    pa_channel_map channelMap{};
    Transport transport = Transport::other;
    bool runningSomewhere = false;
};

// What one look at the server found; built on the control connection's thread.
struct PulseSnapshot {
    struct Device {
        bool isSink = false;
        std::uint32_t index = PA_INVALID_INDEX;
        std::string uid;
        std::string name;
        pa_sample_spec spec{};
        pa_channel_map channelMap{};
        Transport transport = Transport::other;
        std::uint32_t monitorOfSink = PA_INVALID_INDEX;  // sources only
    };
    struct Stream {
        std::uint32_t device = PA_INVALID_INDEX;  // sink (inputs) or source (outputs) index
        bool isCorked = false;
        bool isOwn = false;
    };
    std::vector<Device> devices;        // sinks first, then sources
    std::vector<Stream> sinkInputs;     // playback streams
    std::vector<Stream> sourceOutputs;  // record streams
    bool isComplete = true;
};

// How a sink or source is connected, from its properties.
Transport pulseTransport(const pa_proplist* properties, const char* driver, const char* activePort,
                         bool isHardware);

// A stream that wants to hear about the server: told on the main thread after every change of
// the device table and after the server came back.
class PulseStreamWatcher {
  public:
    virtual ~PulseStreamWatcher() = default;
    virtual void devicesChanged() {}
    virtual void serverReturned() {}
};

struct PulseAudioHardware::Core : std::enable_shared_from_this<PulseAudioHardware::Core> {
    explicit Core(MainQueue& q);
    ~Core();

    MainQueue& queue;
    // What the streams' connection threads tell the main thread.
    std::shared_ptr<PulseEventPipe> events;

    // Main thread.
    std::vector<PulseDevice> devices;
    std::map<std::pair<bool, std::uint32_t>, DeviceID> ids;  // (is sink, index) → id
    DeviceID nextID = 100;
    bool isConnected = false;
    struct Listener {
        bool isDeviceList = false;
        DeviceID device = kNoDevice;
        DeviceProperty property = DeviceProperty::alive;
        std::function<void()> block;
    };
    std::map<ListenerID, Listener> listeners;
    ListenerID nextListenerID = 1;
    std::vector<std::weak_ptr<PulseStreamWatcher>> watchers;
    int periodFrames = 128;
    double retryDelay = 0;
    TaskHandle retryTask;

    struct Control;  // the control connection and its watcher state
    std::unique_ptr<Control> control;
    std::unique_ptr<Control> attempt;  // a reconnection under way

    const PulseDevice* find(DeviceID id) const;
    const PulseDevice* findByUID(const std::string& uid, bool isSink) const;

    // Connects the control connection and reads the server once, waiting up to twice
    // `timeout` for it. Only the startup factory calls it, before the main loop runs.
    bool open(std::chrono::milliseconds timeout, std::string* error);
    std::unique_ptr<Control> makeControl(std::chrono::milliseconds timeout);
    // Replaces the table with what the server reported and fires what changed.
    void apply(const PulseSnapshot& snapshot);
    // Reconnection: attempts run on their connection's thread; each outcome comes back to
    // attemptFinished on the main queue, which applies a restored connection or schedules the
    // next attempt.
    void connectionLost();
    void scheduleRetry();
    void retry();
    void attemptFinished(int generation, const std::shared_ptr<PulseSnapshot>& first);
    void fire(DeviceID device, DeviceProperty property);
    void fireDeviceList();
    void addWatcher(const std::shared_ptr<PulseStreamWatcher>& watcher);
};

}  // namespace qv
