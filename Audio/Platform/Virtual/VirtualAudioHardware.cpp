#include "Audio/Platform/Virtual/VirtualAudioHardware.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "Audio/Platform/Virtual/WavFile.h"
#include "Foundation/RealtimeScope.h"
#include "Foundation/SpscQueue.h"

namespace qv {
namespace {

constexpr DeviceID kFirstDeviceID = 100;

// The first frame at or after time `t`; a hair of slack absorbs rounding of boundary times
// taken from another device's grid.
std::int64_t frameAtOrAfter(Seconds t, double rate) {
    return static_cast<std::int64_t>(std::ceil(t * rate - 1e-6));
}

bool isLate(Seconds boundary, Seconds now, Seconds maxLate) {
    return boundary < now - maxLate - 1e-9;
}

}  // namespace

// How the driver and the main thread share the devices
// ---------------------------------------------------
// The main thread keeps the device and stream tables under `mutex`, which the driver never
// takes. After every change the driver must see (devices, rates, the period, streams starting
// or stopping, recordings), the main thread builds an immutable Snapshot of what a cycle needs
// and publishes it through one atomic pointer. Each driver call takes a pending snapshot with an
// atomic exchange; the one it replaces goes back through a wait-free queue and is freed on the
// main thread at the next change. What the driver writes (grids, scratch planes, recordings)
// lives in objects the snapshots share, so it survives the swaps; a grid that must start again
// (new rate, stream started) is replaced by a fresh one in the next snapshot, and
// restartCycles() is one atomic counter. Stopping a stream is the handshake in StreamLink.
struct VirtualAudioHardware::Core : std::enable_shared_from_this<Core> {
    // Planar samples: `channels` planes of `frames` floats, one after another. Written only
    // by the driver once published.
    struct Planes {
        Planes(int channelCount, int frameCount)
            : samples(static_cast<std::size_t>(channelCount) * frameCount, 0.0f),
              planes(static_cast<std::size_t>(channelCount)) {
            for (std::size_t c = 0; c < planes.size(); ++c) {
                planes[c] = samples.data() + c * static_cast<std::size_t>(frameCount);
            }
        }
        std::vector<float> samples;
        std::vector<float*> planes;
    };

    // A grid of period boundaries, driver-owned once published. `frame` is the first frame of
    // the next output period, or of the next input buffer.
    struct Grid {
        bool isScheduled = false;
        std::uint64_t restart = 0;  // the restart request it was scheduled under
        std::int64_t frame = 0;
    };

    // What an output device plays from enableRecording() on, preallocated. The driver fills
    // frames in order and publishes their count; the main thread reads only what is counted.
    struct Recording {
        Recording(int channels, std::size_t frames)
            : channels(static_cast<std::size_t>(channels), std::vector<float>(frames, 0.0f)) {}
        std::vector<std::vector<float>> channels;
        std::atomic<std::size_t> frames{0};

        // Main thread: a copy, silence past what was recorded.
        std::vector<std::vector<float>> take() const {
            const std::size_t recorded = frames.load(std::memory_order_acquire);
            std::vector<std::vector<float>> copy;
            copy.reserve(channels.size());
            for (const auto& channel : channels) {
                auto& out = copy.emplace_back(channel.size(), 0.0f);
                std::copy_n(channel.begin(), recorded, out.begin());
            }
            return copy;
        }
    };

    // What a stream shares with the driver. The driver calls a stream only between enter() and
    // leave(), and only while `run` holds the serial of the start its snapshot was built for;
    // halt() clears `run` and then waits while the driver is inside, so after it returns the
    // callbacks have finished and are not called again (seq_cst on both sides: either the
    // driver sees the cleared serial, or halt() sees it inside).
    struct StreamLink {
        OutputRenderCallback render;
        InputCaptureCallback capture;
        SignalSource source;
        std::atomic<std::uint64_t> run{0};  // 0 while stopped
        std::atomic<bool> isInside{false};

        // Driver.
        bool enter(std::uint64_t serial) {
            isInside.store(true, std::memory_order_seq_cst);
            return run.load(std::memory_order_seq_cst) == serial;
        }
        void leave() { isInside.store(false, std::memory_order_release); }
        bool runs(std::uint64_t serial) const {
            return run.load(std::memory_order_acquire) == serial;
        }
        // Main thread. Waits only while the driver is inside this stream's callbacks.
        void halt() {
            run.store(0, std::memory_order_seq_cst);
            while (isInside.load(std::memory_order_seq_cst)) {
                std::this_thread::yield();
            }
        }
    };

    // The table one cycle works from. Immutable once published.
    struct Snapshot {
        struct Input {  // a running input or signal stream with a rate, in stream id order
            std::shared_ptr<StreamLink> link;
            std::uint64_t run = 0;
            double rate = 0;
            double clock = 0;  // frames per second of virtual time
            int channels = 0;
            int frames = 0;  // per buffer
            Signal signal;   // the device's, for a device stream
            std::shared_ptr<Grid> grid;
            std::shared_ptr<Planes> buffer;
        };
        struct Render {  // a running output stream
            std::shared_ptr<StreamLink> link;
            std::uint64_t run = 0;
            int channels = 0;
            std::shared_ptr<Planes> buffer;
        };
        struct Output {  // an output device, in id order
            double rate = 0;
            double clock = 0;  // frames per second of virtual time
            std::shared_ptr<Grid> grid;
            std::shared_ptr<Planes> mix;
            std::shared_ptr<Recording> recording;
            std::size_t firstRender = 0;  // its streams in `renders`, in stream id order
            std::size_t renderCount = 0;
        };
        int periodFrames = 0;
        std::vector<Input> inputs;
        std::vector<Output> outputs;
        std::vector<Render> renders;
    };

    // Main side, under `mutex`.
    struct Device {
        DeviceID id = kNoDevice;
        VirtualDeviceSpec spec;
        double rate = 0;
        bool isRunningSomewhere = false;
        std::shared_ptr<Grid> grid;  // output
        std::shared_ptr<Planes> mix;
        std::shared_ptr<Recording> recording;

        int outputChannels() const {
            return spec.output ? static_cast<int>(spec.output->channels) : 0;
        }
        // Its frames per second of virtual time: the rate, off by the clock's error.
        double clock() const { return rate * (1.0 + spec.clockPpm * 1e-6); }
    };

    struct StreamState {
        DeviceID device = kNoDevice;
        bool isOutput = false;
        bool hasOwnSignal = false;  // a signal stream: its own rate and source, no device
        double ownRate = 0;
        int channels = 0;
        int frames = 0;  // per buffer (input) or per period (output)
        std::function<void()> onChange;
        std::shared_ptr<StreamLink> link;
        bool isRunning = false;
        bool isDeviceGone = false;
        std::uint64_t run = 0;       // serial of the current start
        std::shared_ptr<Grid> grid;  // input
        std::shared_ptr<Planes> buffer;
    };

    struct Listener {
        bool isDeviceList = false;
        DeviceID device = kNoDevice;
        DeviceProperty property = DeviceProperty::alive;
        std::function<void()> block;
    };

    explicit Core(MainQueue& q) : queue(q) {}
    ~Core() {
        // No driver runs any more: it belongs to the hardware, which is gone.
        delete pending.exchange(nullptr);
        delete active;
        collect();
    }
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    MainQueue& queue;
    mutable std::mutex mutex;     // main side only
    std::vector<Device> devices;  // in id order
    std::map<std::uint64_t, StreamState> streams;
    std::map<ListenerID, Listener> listeners;
    DeviceID nextDeviceID = kFirstDeviceID;
    std::uint64_t nextStreamID = 1;
    std::uint64_t nextRun = 1;
    ListenerID nextListenerID = 1;
    int periodFrames = 128;
    std::optional<Seconds> recordingSeconds;
    std::set<std::pair<DeviceID, DeviceProperty>> failedReads;
    bool failsDeviceListRead = false;
    std::map<DeviceID, AudioError> failedSetRate;
    std::map<DeviceID, AudioError> failedStart;
    std::map<DeviceID, AudioError> failedBind;
    std::map<DeviceID, AudioError> failedIOProcCreate;
    std::map<DeviceID, AudioError> failedIOProcStart;
    bool canCapture = true;

    // Snapshot hand-over.
    std::atomic<Snapshot*> pending{nullptr};
    SpscQueue<Snapshot*, 64> retired;  // driver to main
    std::atomic<std::uint64_t> restartRequests{0};
    // The time of the boundary being run, on the driver's clock.
    std::atomic<double> cycleTime{0.0};
    std::atomic<double> schedulingJitter{0.0};

    // Driver side.
    Snapshot* active = nullptr;
    std::uint64_t restartSeen = 0;

    // Driver: the snapshot to work from (null before the first publish). Never waits.
    const Snapshot* take() {
        if (Snapshot* fresh = pending.exchange(nullptr, std::memory_order_acq_rel)) {
            if (active && !retired.push(active)) {
                // Cannot happen (at most two snapshots retire between two of the main
                // thread's collections); leaking is the safe choice on this thread.
            }
            active = fresh;
        }
        restartSeen = restartRequests.load(std::memory_order_acquire);
        return active;
    }
    // Driver.
    bool isScheduled(const Grid& grid) const {
        return grid.isScheduled && grid.restart == restartSeen;
    }
    void schedule(Grid& grid, Seconds now, double rate) const {
        grid.frame = frameAtOrAfter(now, rate);
        grid.isScheduled = true;
        grid.restart = restartSeen;
    }

    // Main, mutex held: frees the snapshots the driver let go of.
    void collect() {
        while (auto old = retired.pop()) {
            delete *old;
        }
    }

    // Main, mutex held: hands the driver the current tables.
    void publish() {
        collect();
        auto snapshot = std::make_unique<Snapshot>();
        snapshot->periodFrames = periodFrames;
        for (const auto& [id, s] : streams) {
            if (s.isOutput || !s.isRunning) {
                continue;
            }
            Snapshot::Input input;
            if (s.hasOwnSignal) {
                input.rate = s.ownRate;
                input.clock = s.ownRate;
            } else if (const Device* d = find(s.device)) {
                input.rate = d->rate;
                input.clock = d->clock();
                input.signal = d->spec.input->signal;
            } else {
                continue;
            }
            input.link = s.link;
            input.run = s.run;
            input.channels = s.channels;
            input.frames = s.frames;
            input.grid = s.grid;
            input.buffer = s.buffer;
            snapshot->inputs.push_back(std::move(input));
        }
        for (const auto& d : devices) {
            if (!d.spec.output) {
                continue;
            }
            Snapshot::Output output;
            output.rate = d.rate;
            output.clock = d.clock();
            output.grid = d.grid;
            output.mix = d.mix;
            output.recording = d.recording;
            output.firstRender = snapshot->renders.size();
            for (const auto& [id, s] : streams) {
                if (s.isOutput && s.isRunning && s.device == d.id) {
                    snapshot->renders.push_back({s.link, s.run, s.channels, s.buffer});
                }
            }
            output.renderCount = snapshot->renders.size() - output.firstRender;
            snapshot->outputs.push_back(std::move(output));
        }
        if (Snapshot* unused = pending.exchange(snapshot.release(), std::memory_order_acq_rel)) {
            delete unused;  // the driver never saw it
        }
    }

    Device* find(DeviceID id) {
        auto it = std::find_if(devices.begin(), devices.end(),
                               [id](const Device& d) { return d.id == id; });
        return it == devices.end() ? nullptr : &*it;
    }

    std::shared_ptr<Recording> makeRecording(const Device& d) const {
        const auto frames =
            recordingSeconds ? static_cast<std::size_t>(std::llround(*recordingSeconds * d.clock()))
                             : 0;
        return std::make_shared<Recording>(d.outputChannels(), frames);
    }

    // Mutex held; the caller publishes.
    DeviceID insert(const VirtualDeviceSpec& spec) {
        const bool hasZeroChannels = (spec.input && spec.input->channels == 0) ||
                                     (spec.output && spec.output->channels == 0);
        const bool isUIDTaken = std::any_of(devices.begin(), devices.end(), [&](const Device& d) {
            return d.spec.uid == spec.uid;
        });
        if ((!spec.input && !spec.output) || hasZeroChannels || isUIDTaken ||
            !(spec.sampleRate > 0)) {
            return kNoDevice;
        }
        Device d;
        d.id = nextDeviceID++;
        d.spec = spec;
        if (d.spec.availableRates.empty()) {
            d.spec.availableRates = {{spec.sampleRate, spec.sampleRate}};
        }
        d.rate = spec.sampleRate;
        d.grid = std::make_shared<Grid>();
        d.mix = std::make_shared<Planes>(d.outputChannels(), periodFrames);
        d.recording = makeRecording(d);
        devices.push_back(std::move(d));
        return devices.back().id;
    }

    // Mutex held; the caller publishes.
    std::uint64_t addStream(StreamState s, OutputRenderCallback render,
                            InputCaptureCallback capture, SignalSource source) {
        s.link = std::make_shared<StreamLink>();
        s.link->render = std::move(render);
        s.link->capture = std::move(capture);
        s.link->source = std::move(source);
        s.grid = std::make_shared<Grid>();
        s.buffer = std::make_shared<Planes>(s.channels, s.frames);
        const std::uint64_t id = nextStreamID++;
        streams.emplace(id, std::move(s));
        return id;
    }

    // Mutex held: the stream's callbacks have finished and do not run again until it starts.
    static void halt(StreamState& s) {
        s.link->halt();
        s.isRunning = false;
    }

    // Mutex held. Posts every listener of (device, property); a listener removed before its
    // turn is skipped.
    void notify(DeviceID device, DeviceProperty property) {
        post([&](const Listener& l) {
            return !l.isDeviceList && l.device == device && l.property == property;
        });
    }
    void notifyDeviceList() {
        post([](const Listener& l) { return l.isDeviceList; });
    }
    template <typename Matches>
    void post(Matches matches) {
        for (const auto& [id, listener] : listeners) {
            if (!matches(listener)) {
                continue;
            }
            queue.post([weak = weak_from_this(), id = id] {
                auto core = weak.lock();
                if (!core) {
                    return;
                }
                std::function<void()> block;
                {
                    std::lock_guard lock(core->mutex);
                    auto it = core->listeners.find(id);
                    if (it == core->listeners.end()) {
                        return;
                    }
                    block = it->second.block;
                }
                block();
            });
        }
    }

    using ChangeList = std::vector<std::pair<std::uint64_t, std::function<void()>>>;

    // Mutex held.
    ChangeList changeCallbacks(DeviceID device) const {
        ChangeList list;
        for (const auto& [id, s] : streams) {
            if (s.device == device && s.onChange) {
                list.emplace_back(id, s.onChange);
            }
        }
        return list;
    }

    // Mutex not held: a callback may close streams, including the next one on the list.
    void callChanges(const ChangeList& list) {
        for (const auto& [id, onChange] : list) {
            bool isOpen;
            {
                std::lock_guard lock(mutex);
                isOpen = streams.count(id) != 0;
            }
            if (isOpen) {
                onChange();
            }
        }
    }

    template <typename T, typename Get>
    std::optional<T> read(DeviceID id, DeviceProperty property, Get get) {
        std::lock_guard lock(mutex);
        const Device* d = find(id);
        if (!d || failedReads.count({id, property})) {
            return std::nullopt;
        }
        return get(*d);
    }
};

class VirtualAudioHardware::Stream final : public AudioStream {
  public:
    Stream(std::shared_ptr<Core> core, std::uint64_t id) : core_(std::move(core)), id_(id) {}
    ~Stream() override {
        std::lock_guard lock(core_->mutex);
        auto it = core_->streams.find(id_);
        auto& s = it->second;
        const bool wasRunning = s.isRunning;
        Core::halt(s);
        // The driver does not touch the callbacks again; what they hold goes now, as the
        // snapshots that still name the stream may live a little longer.
        s.link->render = nullptr;
        s.link->capture = nullptr;
        s.link->source = nullptr;
        core_->streams.erase(it);
        if (wasRunning) {
            core_->publish();
        }
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    AudioResult start() override {
        std::lock_guard lock(core_->mutex);
        auto& s = core_->streams.at(id_);
        if (s.isDeviceGone) {
            return AudioError::deviceNotFound;
        }
        if (auto it = core_->failedStart.find(s.device); it != core_->failedStart.end()) {
            return it->second;
        }
        if (!s.isRunning) {
            s.isRunning = true;
            s.run = core_->nextRun++;
            s.grid = std::make_shared<Core::Grid>();
            core_->publish();
            s.link->run.store(s.run, std::memory_order_seq_cst);
            if (!s.isOutput && s.device != kNoDevice) {
                core_->notify(s.device, DeviceProperty::runningSomewhere);
            }
        }
        return {};
    }
    void stop() override {
        std::lock_guard lock(core_->mutex);
        auto& s = core_->streams.at(id_);
        const bool wasRunning = s.isRunning;
        if (s.isRunning && !s.isOutput && s.device != kNoDevice) {
            core_->notify(s.device, DeviceProperty::runningSomewhere);
        }
        Core::halt(s);
        if (wasRunning) {
            core_->publish();
        }
    }
    bool isRunning() const override {
        std::lock_guard lock(core_->mutex);
        return core_->streams.at(id_).isRunning;
    }

  private:
    std::shared_ptr<Core> core_;
    std::uint64_t id_;
};

VirtualAudioHardware::VirtualAudioHardware(MainQueue& queue, const VirtualSetup& setup)
    : core_(std::make_shared<Core>(queue)) {
    std::lock_guard lock(core_->mutex);
    for (const auto& spec : setup.devices) {
        core_->insert(spec);
    }
    core_->publish();
}

VirtualAudioHardware::~VirtualAudioHardware() = default;

std::optional<std::vector<DeviceID>> VirtualAudioHardware::deviceIDs() const {
    std::lock_guard lock(core_->mutex);
    if (core_->failsDeviceListRead) {
        return std::nullopt;
    }
    std::vector<DeviceID> ids;
    for (const auto& d : core_->devices) {
        ids.push_back(d.id);
    }
    return ids;
}

std::optional<std::vector<std::uint32_t>> VirtualAudioHardware::streamConfiguration(
    DeviceID device, Direction direction) const {
    using List = std::vector<std::uint32_t>;
    return core_->read<List>(device, DeviceProperty::streamConfiguration, [&](const auto& d) {
        if (direction == Direction::input) {
            return d.spec.input ? List{d.spec.input->channels} : List{};
        }
        return d.spec.output ? List{d.spec.output->channels} : List{};
    });
}

std::optional<std::string> VirtualAudioHardware::deviceUID(DeviceID device) const {
    return core_->read<std::string>(device, DeviceProperty::uid,
                                    [](const auto& d) { return d.spec.uid; });
}

std::optional<std::string> VirtualAudioHardware::deviceName(DeviceID device) const {
    return core_->read<std::string>(device, DeviceProperty::name,
                                    [](const auto& d) { return d.spec.name; });
}

std::optional<Transport> VirtualAudioHardware::transport(DeviceID device) const {
    return core_->read<Transport>(device, DeviceProperty::transport,
                                  [](const auto& d) { return d.spec.transport; });
}

std::optional<double> VirtualAudioHardware::nominalSampleRate(DeviceID device) const {
    return core_->read<double>(device, DeviceProperty::nominalSampleRate,
                               [](const auto& d) { return d.rate; });
}

std::optional<std::size_t> VirtualAudioHardware::availableSampleRateCount(DeviceID device) const {
    return core_->read<std::size_t>(device, DeviceProperty::availableRateCount,
                                    [](const auto& d) { return d.spec.availableRates.size(); });
}

std::optional<std::vector<RateRange>> VirtualAudioHardware::availableSampleRates(
    DeviceID device) const {
    return core_->read<std::vector<RateRange>>(device, DeviceProperty::availableRates,
                                               [](const auto& d) { return d.spec.availableRates; });
}

AudioResult VirtualAudioHardware::setNominalSampleRate(DeviceID device, double rate) {
    Core::ChangeList changes;
    {
        std::lock_guard lock(core_->mutex);
        auto* d = core_->find(device);
        if (!d) {
            return AudioError::deviceNotFound;
        }
        if (auto it = core_->failedSetRate.find(device); it != core_->failedSetRate.end()) {
            return it->second;
        }
        const auto& ranges = d->spec.availableRates;
        if (std::none_of(ranges.begin(), ranges.end(), [rate](const RateRange& r) {
                return rate >= r.minimum && rate <= r.maximum;
            })) {
            return AudioError::unsupportedRate;
        }
        if (rate == d->rate) {
            return AudioResult{};
        }
        // The device's grids start again at the new rate.
        d->rate = rate;
        d->grid = std::make_shared<Core::Grid>();
        for (auto& [id, s] : core_->streams) {
            if (s.device == device) {
                s.grid = std::make_shared<Core::Grid>();
            }
        }
        core_->publish();
        changes = core_->changeCallbacks(device);
        core_->notify(device, DeviceProperty::nominalSampleRate);
    }
    core_->callChanges(changes);
    return AudioResult{};
}

std::optional<bool> VirtualAudioHardware::isAlive(DeviceID device) const {
    return core_->read<bool>(device, DeviceProperty::alive, [](const auto&) { return true; });
}

std::optional<bool> VirtualAudioHardware::isRunningSomewhere(DeviceID device) const {
    return core_->read<bool>(device, DeviceProperty::runningSomewhere, [&](const auto& d) {
        if (d.isRunningSomewhere) {
            return true;
        }
        return std::any_of(core_->streams.begin(), core_->streams.end(), [&](const auto& entry) {
            const auto& stream = entry.second;
            return !stream.isOutput && stream.isRunning && stream.device == device;
        });
    });
}

AudioHardware::ListenerID VirtualAudioHardware::addDeviceListListener(std::function<void()> block) {
    std::lock_guard lock(core_->mutex);
    if (!block) {
        return 0;
    }
    const ListenerID id = core_->nextListenerID++;
    core_->listeners.emplace(id, Core::Listener{true, kNoDevice, {}, std::move(block)});
    return id;
}

AudioHardware::ListenerID VirtualAudioHardware::addPropertyListener(DeviceID device,
                                                                    DeviceProperty property,
                                                                    std::function<void()> block) {
    std::lock_guard lock(core_->mutex);
    if (!core_->find(device) || !block) {
        return 0;
    }
    const ListenerID id = core_->nextListenerID++;
    core_->listeners.emplace(id, Core::Listener{false, device, property, std::move(block)});
    return id;
}

void VirtualAudioHardware::removeListener(ListenerID id) {
    std::lock_guard lock(core_->mutex);
    core_->listeners.erase(id);
}

std::unique_ptr<AudioStream> VirtualAudioHardware::openOutputStream(DeviceID device,
                                                                    OutputRenderCallback render,
                                                                    StreamEvents events,
                                                                    AudioError* error) {
    std::lock_guard lock(core_->mutex);
    const auto* d = core_->find(device);
    const AudioResult result = !d                ? AudioResult(AudioError::deviceNotFound)
                               : !d->spec.output ? AudioResult(AudioError::wrongDirection)
                                                 : AudioResult{};
    if (!result.ok()) {
        if (error) {
            *error = result.error();
        }
        return nullptr;
    }
    Core::StreamState s;
    s.device = device;
    s.isOutput = true;
    s.channels = d->outputChannels();
    s.frames = core_->periodFrames;
    s.onChange = std::move(events.onConfigurationChange);
    const std::uint64_t id = core_->addStream(std::move(s), std::move(render), {}, {});
    return std::make_unique<Stream>(core_, id);
}

std::unique_ptr<AudioStream> VirtualAudioHardware::openInputStream(DeviceID device,
                                                                   std::uint32_t framesPerBuffer,
                                                                   InputCaptureCallback capture,
                                                                   StreamEvents events,
                                                                   AudioError* error) {
    std::lock_guard lock(core_->mutex);
    const auto* d = core_->find(device);
    const AudioResult result = !d ? AudioResult(AudioError::deviceNotFound)
                               : !d->spec.input || framesPerBuffer == 0
                                   ? AudioResult(AudioError::wrongDirection)
                                   : AudioResult{};
    if (!result.ok()) {
        if (error) {
            *error = result.error();
        }
        return nullptr;
    }
    Core::StreamState s;
    s.device = device;
    s.channels = static_cast<int>(d->spec.input->channels);
    s.frames = static_cast<int>(framesPerBuffer);
    s.onChange = std::move(events.onConfigurationChange);
    const std::uint64_t id = core_->addStream(std::move(s), {}, std::move(capture), {});
    return std::make_unique<Stream>(core_, id);
}

std::unique_ptr<AudioStream> VirtualAudioHardware::openSignalStream(double rate, int channels,
                                                                    int framesPerBuffer,
                                                                    SignalSource source,
                                                                    InputCaptureCallback capture) {
    if (!(rate > 0) || channels < 1 || framesPerBuffer < 1 || !source) {
        return nullptr;
    }
    std::lock_guard lock(core_->mutex);
    Core::StreamState s;
    s.hasOwnSignal = true;
    s.ownRate = rate;
    s.channels = channels;
    s.frames = framesPerBuffer;
    const std::uint64_t id =
        core_->addStream(std::move(s), {}, std::move(capture), std::move(source));
    return std::make_unique<Stream>(core_, id);
}

DeviceID VirtualAudioHardware::addDevice(const VirtualDeviceSpec& spec) {
    std::lock_guard lock(core_->mutex);
    const DeviceID id = core_->insert(spec);
    if (id != kNoDevice) {
        core_->publish();
        core_->notifyDeviceList();
    }
    return id;
}

bool VirtualAudioHardware::removeDevice(DeviceID device) {
    Core::ChangeList changes;
    {
        std::lock_guard lock(core_->mutex);
        auto* d = core_->find(device);
        if (!d) {
            return false;
        }
        for (auto& [id, s] : core_->streams) {
            if (s.device == device) {
                s.isDeviceGone = true;
                Core::halt(s);
            }
        }
        changes = core_->changeCallbacks(device);
        core_->devices.erase(core_->devices.begin() + (d - core_->devices.data()));
        core_->publish();
        core_->notifyDeviceList();
        core_->notify(device, DeviceProperty::alive);
    }
    core_->callChanges(changes);
    return true;
}

bool VirtualAudioHardware::breakStreams(DeviceID device) {
    Core::ChangeList changes;
    {
        std::lock_guard lock(core_->mutex);
        if (!core_->find(device)) {
            return false;
        }
        for (auto& [id, s] : core_->streams) {
            if (s.device == device) {
                Core::halt(s);
            }
        }
        core_->publish();
        changes = core_->changeCallbacks(device);
    }
    core_->callChanges(changes);
    return true;
}

std::optional<DeviceID> VirtualAudioHardware::deviceForUID(const std::string& uid) const {
    std::lock_guard lock(core_->mutex);
    for (const auto& d : core_->devices) {
        if (d.spec.uid == uid) {
            return d.id;
        }
    }
    return std::nullopt;
}

void VirtualAudioHardware::setRunningSomewhere(DeviceID device, bool isRunning) {
    std::lock_guard lock(core_->mutex);
    if (auto* d = core_->find(device)) {
        d->isRunningSomewhere = isRunning;
        core_->notify(device, DeviceProperty::runningSomewhere);
    }
}

void VirtualAudioHardware::failRead(DeviceID device, DeviceProperty property) {
    std::lock_guard lock(core_->mutex);
    core_->failedReads.insert({device, property});
}

void VirtualAudioHardware::failDeviceListRead() {
    std::lock_guard lock(core_->mutex);
    core_->failsDeviceListRead = true;
}

void VirtualAudioHardware::failSetRate(DeviceID device, AudioError status) {
    std::lock_guard lock(core_->mutex);
    core_->failedSetRate[device] = status;
}

void VirtualAudioHardware::failStreamStart(DeviceID device, AudioError status) {
    std::lock_guard lock(core_->mutex);
    core_->failedStart[device] = status;
}

// An I/O procedure: an input stream of the device whose buffers are handed over interleaved.
struct VirtualAudioHardware::IOProcEntry {
    DeviceID device = kNoDevice;
    std::vector<float> interleaved;
    std::unique_ptr<AudioStream> stream;
};

std::optional<AudioHardware::IOProcID> VirtualAudioHardware::createIOProc(
    DeviceID device, IOProc proc, AudioError* error, std::function<void(AudioResult)>) {
    {
        std::lock_guard lock(core_->mutex);
        if (auto it = core_->failedIOProcCreate.find(device);
            it != core_->failedIOProcCreate.end()) {
            if (error) {
                *error = it->second;
            }
            return std::nullopt;
        }
    }
    auto config = streamConfiguration(device, Direction::input);
    const int frames = periodFrames();
    if (!config || config->empty() || !proc) {
        if (error) {
            *error = AudioError::deviceNotFound;
        }
        return std::nullopt;
    }
    auto entry = std::make_unique<IOProcEntry>();
    entry->device = device;
    std::uint32_t channels = 0;
    for (auto c : *config) {
        channels += c;
    }
    entry->interleaved.assign(static_cast<std::size_t>(channels) * frames, 0.0f);
    float* scratch = entry->interleaved.data();
    entry->stream = openInputStream(
        device, static_cast<std::uint32_t>(frames),
        [proc = std::move(proc), scratch](const float* const* planes, int count, int n, double) {
            for (int f = 0; f < n; ++f) {
                for (int c = 0; c < count; ++c) {
                    scratch[f * count + c] = planes[c][f];
                }
            }
            proc(scratch, static_cast<std::size_t>(n) * count * sizeof(float));
        },
        {}, error);
    if (!entry->stream) {
        return std::nullopt;
    }
    const IOProcID id = nextIOProcID_++;
    ioProcs_[id] = std::move(entry);
    return id;
}

AudioResult VirtualAudioHardware::startIOProc(DeviceID device, IOProcID id) {
    auto it = ioProcs_.find(id);
    if (it == ioProcs_.end() || it->second->device != device) {
        return AudioError::deviceNotFound;
    }
    {
        std::lock_guard lock(core_->mutex);
        if (auto failed = core_->failedIOProcStart.find(device);
            failed != core_->failedIOProcStart.end()) {
            return failed->second;
        }
    }
    return it->second->stream->start();
}

void VirtualAudioHardware::stopIOProc(DeviceID, IOProcID id) {
    if (auto it = ioProcs_.find(id); it != ioProcs_.end()) {
        it->second->stream->stop();
    }
}

void VirtualAudioHardware::destroyIOProc(DeviceID, IOProcID id) {
    ioProcs_.erase(id);
}

void VirtualAudioHardware::failIOProcCreate(DeviceID device, AudioError status) {
    std::lock_guard lock(core_->mutex);
    core_->failedIOProcCreate[device] = status;
}

void VirtualAudioHardware::failIOProcStart(DeviceID device, AudioError status) {
    std::lock_guard lock(core_->mutex);
    core_->failedIOProcStart[device] = status;
}

std::size_t VirtualAudioHardware::ioProcCount() const {
    return ioProcs_.size();
}

double VirtualAudioHardware::schedulingJitter() const {
    return core_->schedulingJitter.load(std::memory_order_relaxed);
}

void VirtualAudioHardware::setSchedulingJitter(double seconds) {
    core_->schedulingJitter.store(seconds, std::memory_order_relaxed);
}

double VirtualAudioHardware::audioClockNow() const {
    return core_->cycleTime.load(std::memory_order_relaxed);
}

bool VirtualAudioHardware::canCapture() const {
    std::lock_guard lock(core_->mutex);
    return core_->canCapture;
}

AudioResult VirtualAudioHardware::bindResult(DeviceID device, Direction direction) const {
    {
        std::lock_guard lock(core_->mutex);
        if (auto it = core_->failedBind.find(device); it != core_->failedBind.end()) {
            return it->second;
        }
    }
    return AudioHardware::bindResult(device, direction);
}

void VirtualAudioHardware::setCaptureAvailable(bool isAvailable) {
    std::lock_guard lock(core_->mutex);
    core_->canCapture = isAvailable;
}

void VirtualAudioHardware::failBind(DeviceID device, AudioError status) {
    std::lock_guard lock(core_->mutex);
    core_->failedBind[device] = status;
}

void VirtualAudioHardware::clearFailures() {
    std::lock_guard lock(core_->mutex);
    core_->failedReads.clear();
    core_->failedSetRate.clear();
    core_->failedStart.clear();
    core_->failedBind.clear();
    core_->failedIOProcCreate.clear();
    core_->failedIOProcStart.clear();
    core_->canCapture = true;
    core_->failsDeviceListRead = false;
}

int VirtualAudioHardware::periodFrames() const {
    std::lock_guard lock(core_->mutex);
    return core_->periodFrames;
}

void VirtualAudioHardware::setPeriodFrames(int frames) {
    std::lock_guard lock(core_->mutex);
    core_->periodFrames = std::max(frames, 1);
    for (auto& d : core_->devices) {
        d.mix = std::make_shared<Core::Planes>(d.outputChannels(), core_->periodFrames);
    }
    for (auto& [id, s] : core_->streams) {
        if (s.isOutput) {
            s.frames = core_->periodFrames;
            s.buffer = std::make_shared<Core::Planes>(s.channels, s.frames);
        }
    }
    core_->publish();
}

void VirtualAudioHardware::enableRecording(Seconds seconds) {
    std::lock_guard lock(core_->mutex);
    core_->recordingSeconds = std::max(seconds, 0.0);
    for (auto& d : core_->devices) {
        d.recording = core_->makeRecording(d);
    }
    core_->publish();
}

std::vector<std::vector<float>> VirtualAudioHardware::recording(DeviceID device) const {
    std::lock_guard lock(core_->mutex);
    const auto* d = core_->find(device);
    return d ? d->recording->take() : std::vector<std::vector<float>>{};
}

std::size_t VirtualAudioHardware::recordedFrames(DeviceID device) const {
    std::lock_guard lock(core_->mutex);
    const auto* d = core_->find(device);
    return d ? d->recording->frames.load(std::memory_order_acquire) : 0;
}

bool VirtualAudioHardware::writeRecordings(const std::string& dir, std::string* error) const {
    struct Take {
        std::string uid;
        double rate;
        std::vector<std::vector<float>> channels;
    };
    std::vector<Take> takes;
    {
        std::lock_guard lock(core_->mutex);
        for (const auto& d : core_->devices) {
            if (d.spec.output) {
                takes.push_back({d.spec.uid, d.rate, d.recording->take()});
            }
        }
    }
    for (const auto& take : takes) {
        const auto path = std::filesystem::path(dir) / (take.uid + ".wav");
        if (!writeWavFloat32(path.string(), take.rate, take.channels, error)) {
            return false;
        }
    }
    return true;
}

void VirtualAudioHardware::scheduleCycles(Seconds now, Seconds maxLate) {
    RealtimeScope realtime;
    const Core::Snapshot* snapshot = core_->take();
    if (!snapshot) {
        return;
    }
    for (const auto& output : snapshot->outputs) {
        Core::Grid& grid = *output.grid;
        if (!core_->isScheduled(grid) ||
            isLate(static_cast<double>(grid.frame) / output.clock, now, maxLate)) {
            core_->schedule(grid, now, output.clock);
        }
    }
    for (const auto& input : snapshot->inputs) {
        if (!input.link->runs(input.run)) {
            continue;
        }
        Core::Grid& grid = *input.grid;
        const Seconds boundary = static_cast<double>(grid.frame + input.frames) / input.clock;
        if (!core_->isScheduled(grid) || isLate(boundary, now, maxLate)) {
            core_->schedule(grid, now, input.clock);
        }
    }
}

void VirtualAudioHardware::restartCycles() {
    core_->restartRequests.fetch_add(1, std::memory_order_acq_rel);
}

std::optional<Seconds> VirtualAudioHardware::nextCycleTime() const {
    RealtimeScope realtime;
    const Core::Snapshot* snapshot = core_->take();
    std::optional<Seconds> next;
    if (!snapshot) {
        return next;
    }
    const auto consider = [&](Seconds t) {
        if (!next || t < *next) {
            next = t;
        }
    };
    for (const auto& output : snapshot->outputs) {
        if (core_->isScheduled(*output.grid)) {
            consider(static_cast<double>(output.grid->frame) / output.clock);
        }
    }
    for (const auto& input : snapshot->inputs) {
        if (input.link->runs(input.run) && core_->isScheduled(*input.grid)) {
            consider(static_cast<double>(input.grid->frame + input.frames) / input.clock);
        }
    }
    return next;
}

void VirtualAudioHardware::runCycle(Seconds time) {
    RealtimeScope realtime;
    core_->cycleTime.store(time, std::memory_order_relaxed);
    const Core::Snapshot* snapshot = core_->take();
    if (!snapshot) {
        return;
    }
    // Inputs first: what was captured up to this instant is there before outputs render.
    for (const auto& input : snapshot->inputs) {
        Core::Grid& grid = *input.grid;
        if (!core_->isScheduled(grid) ||
            static_cast<double>(grid.frame + input.frames) / input.clock > time) {
            continue;
        }
        Core::StreamLink& link = *input.link;
        if (link.enter(input.run)) {
            float* const* planes = input.buffer->planes.data();
            for (int c = 0; c < input.channels; ++c) {
                if (link.source) {
                    link.source(c, grid.frame, input.frames, input.rate, planes[c]);
                } else {
                    input.signal.render(c, grid.frame, input.frames, input.rate, planes[c]);
                }
            }
            if (link.capture) {
                link.capture(planes, input.channels, input.frames, input.rate);
            }
            grid.frame += input.frames;
        }
        link.leave();
    }
    const int frames = snapshot->periodFrames;
    for (const auto& output : snapshot->outputs) {
        Core::Grid& grid = *output.grid;
        if (!core_->isScheduled(grid) || static_cast<double>(grid.frame) / output.clock > time) {
            continue;
        }
        auto& mix = output.mix->samples;
        std::fill(mix.begin(), mix.end(), 0.0f);
        for (std::size_t i = 0; i < output.renderCount; ++i) {
            const auto& render = snapshot->renders[output.firstRender + i];
            Core::StreamLink& link = *render.link;
            auto& buffer = render.buffer->samples;
            if (link.enter(render.run)) {
                std::fill(buffer.begin(), buffer.end(), 0.0f);
                if (link.render) {
                    link.render(render.buffer->planes.data(), render.channels, frames, output.rate);
                }
                link.leave();
                for (std::size_t k = 0; k < mix.size(); ++k) {
                    mix[k] += buffer[k];
                }
            } else {
                link.leave();
            }
        }
        Core::Recording& recording = *output.recording;
        const std::size_t capacity =
            recording.channels.empty() ? 0 : recording.channels.front().size();
        const std::size_t recorded = recording.frames.load(std::memory_order_relaxed);
        const std::size_t count =
            std::min<std::size_t>(static_cast<std::size_t>(frames), capacity - recorded);
        for (std::size_t c = 0; c < recording.channels.size(); ++c) {
            const float* source = mix.data() + c * static_cast<std::size_t>(frames);
            std::copy_n(source, count, recording.channels[c].begin() + recorded);
        }
        recording.frames.store(recorded + count, std::memory_order_release);
        grid.frame += frames;
    }
}

}  // namespace qv
