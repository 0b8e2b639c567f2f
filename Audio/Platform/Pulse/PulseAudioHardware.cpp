// The device table: what the server has, kept current by a control connection, and the
// listeners and reconnection around it.

#include <algorithm>
#include <cctype>
#include <set>

#include "Audio/Platform/Pulse/PulseHardwareCore.h"
#include "Foundation/Log.h"

namespace qv {
namespace {

constexpr double kFirstRetryDelay = 0.25;
constexpr double kLongestRetryDelay = 4.0;
constexpr auto kRetryTimeout = std::chrono::milliseconds(500);

bool containsText(const std::string& text, const char* needle) {
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return lower.find(needle) != std::string::npos;
}

// What a sink or source info tells about the device.
template <typename Info>
PulseSnapshot::Device describeDevice(const Info& info, bool isSink, bool isHardware) {
    PulseSnapshot::Device d;
    d.isSink = isSink;
    d.index = info.index;
    d.uid = info.name ? info.name : "";
    d.name = info.description ? info.description : "";
    d.spec = info.sample_spec;
    d.channelMap = info.channel_map;
    d.transport = pulseTransport(info.proplist, info.driver,
                                 info.active_port ? info.active_port->name : nullptr, isHardware);
    return d;
}

}  // namespace

Transport pulseTransport(const pa_proplist* properties, const char* driver, const char* activePort,
                         bool isHardware) {
    const std::string bus = propertyText(properties, PA_PROP_DEVICE_BUS);
    const std::string port = activePort ? activePort : "";
    const std::string profile = propertyText(properties, PA_PROP_DEVICE_PROFILE_NAME);
    const std::string driverName = driver ? driver : "";
    if (bus == "usb") {
        return Transport::usb;
    }
    if (bus == "bluetooth") {
        return Transport::bluetooth;
    }
    if (containsText(port, "hdmi") || containsText(profile, "hdmi")) {
        return Transport::hdmi;
    }
    if (containsText(port, "displayport") || containsText(profile, "displayport")) {
        return Transport::displayPort;
    }
    if (bus == "pci" || bus == "isa" || bus == "platform") {
        return Transport::builtIn;
    }
    if (bus == "firewire" || bus == "ieee1394") {
        return Transport::fireWire;
    }
    if (bus == "thunderbolt") {
        return Transport::thunderbolt;
    }
    if (containsText(driverName, "combine")) {
        return Transport::aggregate;
    }
    if (!isHardware) {
        return Transport::virtualDevice;
    }
    return Transport::other;
}

// The control connection. Its callbacks run on the connection's thread and only build
// snapshots, which travel to the main thread whole. Opening it (connecting, subscribing and
// reading the server once) runs on that thread too; the outcome goes to `opened`.
struct PulseAudioHardware::Core::Control {
    std::unique_ptr<PulseContext> context;  // stops the thread first when destroyed
    std::weak_ptr<Core> core;
    MainQueue* queue = nullptr;
    int generation = 0;
    std::chrono::milliseconds timeout{0};
    // Connection thread, once: the first complete snapshot, or null and why there is none.
    std::function<void(std::shared_ptr<PulseSnapshot> first, const std::string& reason)> opened;

    // Connection thread.
    bool isReading = false;
    bool readAgain = false;
    int outstanding = 0;
    std::shared_ptr<PulseSnapshot> pending;
    bool isOpen = false;  // the first snapshot (or the failure) went to `opened`

    ~Control() {
        if (context) {
            context->stopEvents();
        }
    }

    // Main thread: begins opening; returns at once. False and the reason when it cannot even
    // begin (`opened` then never runs).
    bool begin(std::string* error);
    void ready();
    void finishOpen(std::shared_ptr<PulseSnapshot> first, const std::string& reason);
    void read();
    void finishOne();
};

bool PulseAudioHardware::Core::Control::begin(std::string* error) {
    context = PulseContext::create("devices", error);
    if (!context) {
        return false;
    }
    context->setFailureHandler([this] {
        if (!isOpen) {
            finishOpen(nullptr, context->lastError());
            return;
        }
        queue->post([weak = core, generation = generation] {
            auto c = weak.lock();
            if (c && c->control && c->control->generation == generation) {
                c->connectionLost();
            }
        });
    });
    const bool began = context->start(timeout, [this](bool isReady, int error) {
        if (isReady) {
            ready();
        } else {
            finishOpen(nullptr, PulseContext::describe(error));
        }
    });
    if (!began && error) {
        *error = context->lastError();
    }
    return began;
}

// Connection thread: the connection is ready; follow the server and read it once.
void PulseAudioHardware::Core::Control::ready() {
    pa_context_set_subscribe_callback(
        context->context(),
        [](pa_context*, pa_subscription_event_type_t, std::uint32_t, void* data) {
            static_cast<Control*>(data)->read();
        },
        this);
    const auto mask = static_cast<pa_subscription_mask_t>(
        PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SINK_INPUT |
        PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT);
    if (pa_operation* op = pa_context_subscribe(context->context(), mask, nullptr, nullptr)) {
        pa_operation_unref(op);
    }
    context->setDeadline(
        timeout, [this] { finishOpen(nullptr, "the sound server did not list its devices"); });
    read();
}

void PulseAudioHardware::Core::Control::finishOpen(std::shared_ptr<PulseSnapshot> first,
                                                   const std::string& reason) {
    if (isOpen) {
        return;
    }
    isOpen = true;
    context->clearDeadline();
    if (opened) {
        opened(std::move(first), reason);
    }
}

void PulseAudioHardware::Core::Control::read() {
    if (isReading) {
        readAgain = true;
        return;
    }
    isReading = true;
    readAgain = false;
    pending = std::make_shared<PulseSnapshot>();
    pa_context* c = context->context();
    outstanding = 4;
    auto issue = [&](pa_operation* op) {
        if (op) {
            pa_operation_unref(op);
        } else {
            pending->isComplete = false;
            --outstanding;
        }
    };
    issue(pa_context_get_sink_info_list(
        c,
        [](pa_context*, const pa_sink_info* i, int eol, void* data) {
            auto* self = static_cast<Control*>(data);
            if (eol != 0) {
                self->pending->isComplete &= eol > 0;
                self->finishOne();
                return;
            }
            self->pending->devices.push_back(
                describeDevice(*i, true, (i->flags & PA_SINK_HARDWARE) != 0));
        },
        this));
    issue(pa_context_get_source_info_list(
        c,
        [](pa_context*, const pa_source_info* i, int eol, void* data) {
            auto* self = static_cast<Control*>(data);
            if (eol != 0) {
                self->pending->isComplete &= eol > 0;
                self->finishOne();
                return;
            }
            auto d = describeDevice(*i, false, (i->flags & PA_SOURCE_HARDWARE) != 0);
            d.monitorOfSink = i->monitor_of_sink;
            self->pending->devices.push_back(std::move(d));
        },
        this));
    issue(pa_context_get_sink_input_info_list(
        c,
        [](pa_context*, const pa_sink_input_info* i, int eol, void* data) {
            auto* self = static_cast<Control*>(data);
            if (eol != 0) {
                self->pending->isComplete &= eol > 0;
                self->finishOne();
                return;
            }
            self->pending->sinkInputs.push_back(
                {i->sink, i->corked != 0, isOwnApplication(i->proplist)});
        },
        this));
    issue(pa_context_get_source_output_info_list(
        c,
        [](pa_context*, const pa_source_output_info* i, int eol, void* data) {
            auto* self = static_cast<Control*>(data);
            if (eol != 0) {
                self->pending->isComplete &= eol > 0;
                self->finishOne();
                return;
            }
            self->pending->sourceOutputs.push_back(
                {i->source, i->corked != 0, isOwnApplication(i->proplist)});
        },
        this));
    if (outstanding == 0) {
        ++outstanding;
        finishOne();
    }
}

void PulseAudioHardware::Core::Control::finishOne() {
    if (--outstanding > 0) {
        return;
    }
    auto snapshot = std::move(pending);
    isReading = false;
    std::stable_partition(snapshot->devices.begin(), snapshot->devices.end(),
                          [](const PulseSnapshot::Device& d) { return d.isSink; });
    if (!isOpen) {
        if (snapshot->isComplete) {
            finishOpen(snapshot, "");
        } else {
            finishOpen(nullptr, "the sound server did not list its devices");
        }
    } else if (snapshot->isComplete) {
        queue->post([weak = core, snapshot, generation = generation] {
            auto c = weak.lock();
            if (c && c->control && c->control->generation == generation) {
                c->apply(*snapshot);
            }
        });
    }
    if (readAgain) {
        read();
    }
}

PulseAudioHardware::Core::Core(MainQueue& q)
    : queue(q), events(std::make_shared<PulseEventPipe>(q)) {}

PulseAudioHardware::Core::~Core() {
    retryTask.cancel();
    attempt.reset();
    control.reset();
}

const PulseDevice* PulseAudioHardware::Core::find(DeviceID id) const {
    for (const auto& d : devices) {
        if (d.id == id) {
            return &d;
        }
    }
    return nullptr;
}

const PulseDevice* PulseAudioHardware::Core::findByUID(const std::string& uid, bool isSink) const {
    for (const auto& d : devices) {
        if (d.uid == uid && d.isSink == isSink) {
            return &d;
        }
    }
    return nullptr;
}

std::unique_ptr<PulseAudioHardware::Core::Control> PulseAudioHardware::Core::makeControl(
    std::chrono::milliseconds timeout) {
    static int generations = 0;
    auto next = std::make_unique<Control>();
    next->core = weak_from_this();
    next->queue = &queue;
    next->generation = ++generations;
    next->timeout = timeout;
    return next;
}

bool PulseAudioHardware::Core::open(std::chrono::milliseconds timeout, std::string* error) {
    auto next = makeControl(timeout);
    struct Outcome {
        bool isDone = false;
        std::shared_ptr<PulseSnapshot> first;
        std::string reason;
    };
    auto outcome = std::make_shared<Outcome>();
    Control* raw = next.get();
    next->opened = [outcome, raw](std::shared_ptr<PulseSnapshot> first, const std::string& reason) {
        *outcome = {true, std::move(first), reason};
        raw->context->signal();
    };
    if (!next->begin(error)) {
        return false;
    }
    {
        // The one wait of the device layer: before the main loop runs.
        PulseContext::WaitsAllowed startup;
        PulseContext::Lock lock(*next->context);
        // The connection's own deadlines end the wait; ours only guards against a lost wake-up.
        next->context->waitFor([&] { return outcome->isDone; },
                               2 * timeout + std::chrono::seconds(1));
        next->opened = nullptr;
    }
    if (!outcome->first) {
        if (error) {
            *error = outcome->isDone ? outcome->reason : "the sound server did not answer";
        }
        return false;
    }
    control = std::move(next);
    isConnected = true;
    apply(*outcome->first);
    return true;
}

void PulseAudioHardware::Core::apply(const PulseSnapshot& snapshot) {
    std::vector<PulseDevice> fresh;
    fresh.reserve(snapshot.devices.size());
    std::map<std::pair<bool, std::uint32_t>, DeviceID> freshIDs;
    for (const auto& d : snapshot.devices) {
        const auto key = std::make_pair(d.isSink, d.index);
        auto known = ids.find(key);
        const DeviceID id = known != ids.end() ? known->second : nextID++;
        freshIDs[key] = id;
        PulseDevice device;
        device.id = id;
        device.isSink = d.isSink;
        device.index = d.index;
        device.uid = d.uid;
        device.name = d.name;
        device.channels = d.spec.channels;
        device.rate = d.spec.rate;
        device.channelMap = d.channelMap;
        device.transport = d.transport;
        if (!d.isSink && d.monitorOfSink != PA_INVALID_INDEX) {
            // A monitor goes where the sink it listens to goes.
            for (const auto& sink : snapshot.devices) {
                if (sink.isSink && sink.index == d.monitorOfSink) {
                    device.transport = sink.transport;
                }
            }
        }
        const auto& streams = d.isSink ? snapshot.sinkInputs : snapshot.sourceOutputs;
        device.runningSomewhere =
            std::any_of(streams.begin(), streams.end(), [&](const PulseSnapshot::Stream& s) {
                return s.device == d.index && !s.isCorked && !s.isOwn;
            });
        fresh.push_back(std::move(device));
    }

    std::vector<DeviceID> oldIDs;
    for (const auto& d : devices) {
        oldIDs.push_back(d.id);
    }
    std::vector<DeviceID> newIDs;
    for (const auto& d : fresh) {
        newIDs.push_back(d.id);
    }
    std::vector<std::pair<DeviceID, DeviceProperty>> changes;
    const bool listChanged = oldIDs != newIDs;
    for (const auto& old : devices) {
        auto now = std::find_if(fresh.begin(), fresh.end(),
                                [&](const PulseDevice& d) { return d.id == old.id; });
        if (now == fresh.end()) {
            changes.emplace_back(old.id, DeviceProperty::alive);
            if (old.runningSomewhere) {
                changes.emplace_back(old.id, DeviceProperty::runningSomewhere);
            }
            continue;
        }
        if (now->runningSomewhere != old.runningSomewhere) {
            changes.emplace_back(old.id, DeviceProperty::runningSomewhere);
        }
        if (now->rate != old.rate) {
            changes.emplace_back(old.id, DeviceProperty::nominalSampleRate);
        }
    }

    devices = std::move(fresh);
    ids = std::move(freshIDs);
    for (const auto& [device, property] : changes) {
        fire(device, property);
    }
    if (listChanged) {
        fireDeviceList();
    }
    auto live = watchers;
    for (auto& weak : live) {
        if (auto watcher = weak.lock()) {
            watcher->devicesChanged();
        }
    }
}

void PulseAudioHardware::Core::fire(DeviceID device, DeviceProperty property) {
    for (const auto& [id, listener] : listeners) {
        if (!listener.isDeviceList && listener.device == device && listener.property == property) {
            queue.post(listener.block);
        }
    }
}

void PulseAudioHardware::Core::fireDeviceList() {
    for (const auto& [id, listener] : listeners) {
        if (listener.isDeviceList) {
            queue.post(listener.block);
        }
    }
}

void PulseAudioHardware::Core::addWatcher(const std::shared_ptr<PulseStreamWatcher>& watcher) {
    watchers.erase(
        std::remove_if(watchers.begin(), watchers.end(), [](const auto& w) { return w.expired(); }),
        watchers.end());
    watchers.push_back(watcher);
}

void PulseAudioHardware::Core::connectionLost() {
    if (!isConnected) {
        return;
    }
    isConnected = false;
    control.reset();
    // The server hands out its indexes afresh when it comes back: nothing found then may take
    // an id of what was there before.
    ids.clear();
    Log::line("⚠️ Sound server connection lost - reconnecting");
    retryDelay = kFirstRetryDelay;
    scheduleRetry();
}

void PulseAudioHardware::Core::scheduleRetry() {
    std::weak_ptr<Core> weak = weak_from_this();
    retryTask = queue.postAfter(retryDelay, [weak] {
        if (auto c = weak.lock()) {
            c->retry();
        }
    });
}

void PulseAudioHardware::Core::retry() {
    if (isConnected || attempt) {
        return;
    }
    auto next = makeControl(kRetryTimeout);
    next->opened = [weak = weak_from_this(), queue = &queue, generation = next->generation](
                       std::shared_ptr<PulseSnapshot> first, const std::string&) {
        queue->post([weak, generation, first = std::move(first)] {
            if (auto c = weak.lock()) {
                c->attemptFinished(generation, first);
            }
        });
    };
    std::string error;
    if (!next->begin(&error)) {
        retryDelay = std::min(retryDelay * 2, kLongestRetryDelay);
        scheduleRetry();
        return;
    }
    attempt = std::move(next);
}

void PulseAudioHardware::Core::attemptFinished(int generation,
                                               const std::shared_ptr<PulseSnapshot>& first) {
    if (!attempt || attempt->generation != generation) {
        return;
    }
    auto next = std::move(attempt);
    if (!first) {
        next.reset();
        retryDelay = std::min(retryDelay * 2, kLongestRetryDelay);
        scheduleRetry();
        return;
    }
    control = std::move(next);
    isConnected = true;
    apply(*first);
    Log::line("✅ Sound server connection restored");
    auto live = watchers;
    for (auto& weak : live) {
        if (auto watcher = weak.lock()) {
            watcher->serverReturned();
        }
    }
}

// MARK: - The device layer

std::unique_ptr<PulseAudioHardware> PulseAudioHardware::connect(MainQueue& queue,
                                                                std::string* error,
                                                                double timeoutSeconds) {
    auto core = std::make_shared<Core>(queue);
    const auto timeout = std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
    if (!core->open(timeout, error)) {
        return nullptr;
    }
    return std::unique_ptr<PulseAudioHardware>(new PulseAudioHardware(std::move(core)));
}

std::optional<std::vector<DeviceID>> PulseAudioHardware::deviceIDs() const {
    std::vector<DeviceID> result;
    for (const auto& d : core_->devices) {
        result.push_back(d.id);
    }
    return result;
}

std::optional<std::vector<std::uint32_t>> PulseAudioHardware::streamConfiguration(
    DeviceID device, Direction direction) const {
    const PulseDevice* d = core_->find(device);
    if (!d) {
        return std::nullopt;
    }
    if (d->isSink != (direction == Direction::output)) {
        return std::vector<std::uint32_t>{};
    }
    return std::vector<std::uint32_t>{d->channels};
}

std::optional<std::string> PulseAudioHardware::deviceUID(DeviceID device) const {
    const PulseDevice* d = core_->find(device);
    return d ? std::optional(d->uid) : std::nullopt;
}

std::optional<std::string> PulseAudioHardware::deviceName(DeviceID device) const {
    const PulseDevice* d = core_->find(device);
    return d ? std::optional(d->name) : std::nullopt;
}

std::optional<Transport> PulseAudioHardware::transport(DeviceID device) const {
    const PulseDevice* d = core_->find(device);
    return d ? std::optional(d->transport) : std::nullopt;
}

std::optional<double> PulseAudioHardware::nominalSampleRate(DeviceID device) const {
    const PulseDevice* d = core_->find(device);
    return d ? std::optional(d->rate) : std::nullopt;
}

std::optional<std::size_t> PulseAudioHardware::availableSampleRateCount(DeviceID device) const {
    return core_->find(device) ? std::optional<std::size_t>(1) : std::nullopt;
}

std::optional<std::vector<RateRange>> PulseAudioHardware::availableSampleRates(
    DeviceID device) const {
    const PulseDevice* d = core_->find(device);
    if (!d) {
        return std::nullopt;
    }
    return std::vector<RateRange>{{d->rate, d->rate}};
}

AudioResult PulseAudioHardware::setNominalSampleRate(DeviceID device, double rate) {
    const PulseDevice* d = core_->find(device);
    if (!d) {
        return AudioError::deviceNotFound;
    }
    return d->rate == rate ? AudioResult{} : AudioResult(AudioError::unsupportedRate);
}

std::optional<bool> PulseAudioHardware::isAlive(DeviceID device) const {
    if (!core_->isConnected) {
        return std::nullopt;  // nobody can tell until the server answers again
    }
    return core_->find(device) != nullptr;
}

std::optional<bool> PulseAudioHardware::isRunningSomewhere(DeviceID device) const {
    const PulseDevice* d = core_->find(device);
    return d ? std::optional(d->runningSomewhere) : std::nullopt;
}

AudioHardware::ListenerID PulseAudioHardware::addDeviceListListener(std::function<void()> block) {
    if (!block) {
        return 0;
    }
    const ListenerID id = core_->nextListenerID++;
    core_->listeners[id] = {true, kNoDevice, {}, std::move(block)};
    return id;
}

AudioHardware::ListenerID PulseAudioHardware::addPropertyListener(DeviceID device,
                                                                  DeviceProperty property,
                                                                  std::function<void()> block) {
    if (!block) {
        return 0;
    }
    const ListenerID id = core_->nextListenerID++;
    core_->listeners[id] = {false, device, property, std::move(block)};
    return id;
}

void PulseAudioHardware::removeListener(ListenerID id) {
    core_->listeners.erase(id);
}

void PulseAudioHardware::setPeriodFrames(int frames) {
    core_->periodFrames = std::clamp(frames, 16, 4096);
}

int PulseAudioHardware::periodFrames() const {
    return core_->periodFrames;
}

bool PulseAudioHardware::isConnected() const {
    return core_->isConnected;
}

}  // namespace qv
