#include "Audio/Platform/Virtual/VirtualAudioHardware.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "Audio/Platform/Virtual/WavFile.h"

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

struct VirtualAudioHardware::Core : std::enable_shared_from_this<Core> {
    struct Device {
        DeviceID id = kNoDevice;
        VirtualDeviceSpec spec;
        double rate = 0;
        bool isRunningSomewhere = false;
        // Output grid: the next cycle renders frames [outputFrame, outputFrame + period).
        bool isScheduled = false;
        std::int64_t outputFrame = 0;
        std::vector<float> mix;
        std::vector<std::vector<float>> recording;
        std::size_t recordedFrames = 0;

        int outputChannels() const {
            return spec.output ? static_cast<int>(spec.output->channels) : 0;
        }
    };

    struct StreamState {
        DeviceID device = kNoDevice;
        bool isOutput = false;
        int channels = 0;
        int frames = 0;  // per buffer (input) or per period (output)
        OutputRenderCallback render;
        InputCaptureCallback capture;
        std::function<void()> onChange;
        // A stream of its own, not tied to a device: its rate and what it plays.
        double ownRate = 0;
        SignalSource source;
        bool isRunning = false;
        bool isDeviceGone = false;
        // Input grid: the next buffer holds frames [nextFrame, nextFrame + frames).
        bool isScheduled = false;
        std::int64_t nextFrame = 0;
        std::vector<float> buffer;
        std::vector<float*> planes;

        void allocate(int frameCount) {
            frames = frameCount;
            buffer.assign(static_cast<std::size_t>(channels) * frames, 0.0f);
            planes.resize(static_cast<std::size_t>(channels));
            for (std::size_t c = 0; c < planes.size(); ++c) {
                planes[c] = buffer.data() + c * static_cast<std::size_t>(frames);
            }
        }
    };

    struct Listener {
        bool isDeviceList = false;
        DeviceID device = kNoDevice;
        DeviceProperty property = DeviceProperty::alive;
        std::function<void()> block;
    };

    explicit Core(MainQueue& q) : queue(q) {}

    MainQueue& queue;
    mutable std::mutex mutex;
    std::vector<Device> devices;  // in id order
    std::map<std::uint64_t, StreamState> streams;
    std::map<ListenerID, Listener> listeners;
    DeviceID nextDeviceID = kFirstDeviceID;
    std::uint64_t nextStreamID = 1;
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

    // Mutex held. The rate an input stream runs at, if it can run.
    std::optional<double> inputRate(const StreamState& s) {
        if (s.source) {
            return s.ownRate;
        }
        if (const Device* d = find(s.device)) {
            return d->rate;
        }
        return std::nullopt;
    }

    Device* find(DeviceID id) {
        auto it = std::find_if(devices.begin(), devices.end(),
                               [id](const Device& d) { return d.id == id; });
        return it == devices.end() ? nullptr : &*it;
    }

    void allocateRecording(Device& d) const {
        const auto frames = recordingSeconds
                                ? static_cast<std::size_t>(std::llround(*recordingSeconds * d.rate))
                                : 0;
        d.recording.assign(static_cast<std::size_t>(d.outputChannels()),
                           std::vector<float>(frames, 0.0f));
        d.recordedFrames = 0;
    }

    // Mutex held.
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
        d.mix.assign(static_cast<std::size_t>(d.outputChannels()) * periodFrames, 0.0f);
        allocateRecording(d);
        devices.push_back(std::move(d));
        return devices.back().id;
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
        core_->streams.erase(id_);
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
            s.isScheduled = false;
            if (!s.isOutput && s.device != kNoDevice) {
                core_->notify(s.device, DeviceProperty::runningSomewhere);
            }
        }
        return {};
    }
    void stop() override {
        std::lock_guard lock(core_->mutex);
        auto& s = core_->streams.at(id_);
        if (s.isRunning && !s.isOutput && s.device != kNoDevice) {
            core_->notify(s.device, DeviceProperty::runningSomewhere);
        }
        s.isRunning = false;
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
        d->rate = rate;
        d->isScheduled = false;
        for (auto& [id, s] : core_->streams) {
            if (s.device == device) {
                s.isScheduled = false;
            }
        }
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
    s.render = std::move(render);
    s.onChange = std::move(events.onConfigurationChange);
    s.allocate(core_->periodFrames);
    const std::uint64_t id = core_->nextStreamID++;
    core_->streams.emplace(id, std::move(s));
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
    s.capture = std::move(capture);
    s.onChange = std::move(events.onConfigurationChange);
    s.allocate(static_cast<int>(framesPerBuffer));
    const std::uint64_t id = core_->nextStreamID++;
    core_->streams.emplace(id, std::move(s));
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
    s.channels = channels;
    s.ownRate = rate;
    s.source = std::move(source);
    s.capture = std::move(capture);
    s.allocate(framesPerBuffer);
    const std::uint64_t id = core_->nextStreamID++;
    core_->streams.emplace(id, std::move(s));
    return std::make_unique<Stream>(core_, id);
}

DeviceID VirtualAudioHardware::addDevice(const VirtualDeviceSpec& spec) {
    std::lock_guard lock(core_->mutex);
    const DeviceID id = core_->insert(spec);
    if (id != kNoDevice) {
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
                s.isRunning = false;
            }
        }
        changes = core_->changeCallbacks(device);
        core_->devices.erase(core_->devices.begin() + (d - core_->devices.data()));
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
                s.isRunning = false;
            }
        }
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
        d.mix.assign(static_cast<std::size_t>(d.outputChannels()) * core_->periodFrames, 0.0f);
    }
    for (auto& [id, s] : core_->streams) {
        if (s.isOutput) {
            s.allocate(core_->periodFrames);
        }
    }
}

void VirtualAudioHardware::enableRecording(Seconds seconds) {
    std::lock_guard lock(core_->mutex);
    core_->recordingSeconds = std::max(seconds, 0.0);
    for (auto& d : core_->devices) {
        core_->allocateRecording(d);
    }
}

std::vector<std::vector<float>> VirtualAudioHardware::recording(DeviceID device) const {
    std::lock_guard lock(core_->mutex);
    const auto* d = core_->find(device);
    return d ? d->recording : std::vector<std::vector<float>>{};
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
                takes.push_back({d.spec.uid, d.rate, d.recording});
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
    std::lock_guard lock(core_->mutex);
    for (auto& d : core_->devices) {
        if (d.spec.output &&
            (!d.isScheduled || isLate(static_cast<double>(d.outputFrame) / d.rate, now, maxLate))) {
            d.outputFrame = frameAtOrAfter(now, d.rate);
            d.isScheduled = true;
        }
    }
    for (auto& [id, s] : core_->streams) {
        const auto rate = core_->inputRate(s);
        if (s.isOutput || !s.isRunning || !rate) {
            continue;
        }
        const Seconds boundary = static_cast<double>(s.nextFrame + s.frames) / *rate;
        if (!s.isScheduled || isLate(boundary, now, maxLate)) {
            s.nextFrame = frameAtOrAfter(now, *rate);
            s.isScheduled = true;
        }
    }
}

void VirtualAudioHardware::restartCycles() {
    std::lock_guard lock(core_->mutex);
    for (auto& d : core_->devices) {
        d.isScheduled = false;
    }
    for (auto& [id, s] : core_->streams) {
        s.isScheduled = false;
    }
}

std::optional<Seconds> VirtualAudioHardware::nextCycleTime() const {
    std::lock_guard lock(core_->mutex);
    std::optional<Seconds> next;
    const auto consider = [&](Seconds t) {
        if (!next || t < *next) {
            next = t;
        }
    };
    for (const auto& d : core_->devices) {
        if (d.spec.output && d.isScheduled) {
            consider(static_cast<double>(d.outputFrame) / d.rate);
        }
    }
    for (const auto& [id, s] : core_->streams) {
        const auto rate = core_->inputRate(s);
        if (!s.isOutput && s.isRunning && s.isScheduled && rate) {
            consider(static_cast<double>(s.nextFrame + s.frames) / *rate);
        }
    }
    return next;
}

void VirtualAudioHardware::runCycle(Seconds time) {
    std::lock_guard lock(core_->mutex);
    // Inputs first: what was captured up to this instant is there before outputs render.
    for (auto& [id, s] : core_->streams) {
        const auto rate = core_->inputRate(s);
        if (s.isOutput || !s.isRunning || !s.isScheduled || !rate ||
            static_cast<double>(s.nextFrame + s.frames) / *rate > time) {
            continue;
        }
        for (int c = 0; c < s.channels; ++c) {
            float* plane = s.planes[static_cast<std::size_t>(c)];
            if (s.source) {
                s.source(c, s.nextFrame, s.frames, *rate, plane);
            } else {
                core_->find(s.device)->spec.input->signal.render(c, s.nextFrame, s.frames, *rate,
                                                                 plane);
            }
        }
        if (s.capture) {
            s.capture(s.planes.data(), s.channels, s.frames, *rate);
        }
        s.nextFrame += s.frames;
    }
    const int frames = core_->periodFrames;
    for (auto& d : core_->devices) {
        if (!d.spec.output || !d.isScheduled ||
            static_cast<double>(d.outputFrame) / d.rate > time) {
            continue;
        }
        std::fill(d.mix.begin(), d.mix.end(), 0.0f);
        for (auto& [id, s] : core_->streams) {
            if (!s.isOutput || !s.isRunning || s.device != d.id) {
                continue;
            }
            std::fill(s.buffer.begin(), s.buffer.end(), 0.0f);
            if (s.render) {
                s.render(s.planes.data(), s.channels, frames, d.rate);
            }
            for (std::size_t i = 0; i < d.mix.size(); ++i) {
                d.mix[i] += s.buffer[i];
            }
        }
        const std::size_t capacity = d.recording.empty() ? 0 : d.recording.front().size();
        const std::size_t count =
            std::min<std::size_t>(static_cast<std::size_t>(frames), capacity - d.recordedFrames);
        for (std::size_t c = 0; c < d.recording.size(); ++c) {
            const float* source = d.mix.data() + c * static_cast<std::size_t>(frames);
            std::copy_n(source, count, d.recording[c].begin() + d.recordedFrames);
        }
        d.recordedFrames += count;
        d.outputFrame += frames;
    }
}

}  // namespace qv
