// Playback and record streams, and the I/O procedures built on record streams. Each stream has
// a connection and an event thread of its own.

#include <algorithm>
#include <atomic>
#include <cmath>

#include "Audio/Platform/Pulse/PulseHardwareCore.h"
#include "Foundation/RealtimeScope.h"
#include "Foundation/RealtimeThread.h"
#include "Foundation/ScopedNoDenormals.h"

namespace qv {
namespace {

constexpr auto kStreamTimeout = std::chrono::milliseconds(2000);
constexpr std::size_t kRenderChunkFrames = 1024;
// Output buffering: two periods, but never less than 20 ms, which is also the most we allow.
// Shorter buffers underran: 5.3 ms (two periods of 128 frames) lost whole blocks every second
// on a two-core machine under load, and 10 ms still underran several times in 8 seconds.
constexpr double kShortestOutputBuffer = 0.020;  // seconds
constexpr double kLongestOutputBuffer = 0.020;

// One server stream with its connection. Main thread, except the callbacks, which run on the
// connection's thread.
//
// Opening runs on the connection's thread: open() only makes the connection and returns; the
// thread connects, asks for real-time scheduling, creates the stream and waits for the server
// to run it, each step bounded by kStreamTimeout. What happens to the stream then travels to
// the main thread as an event through the backend's pipe (PulseEvents.h), never as a closure:
// a failed opening reaches didNotOpen, a stream that breaks once running lost(), a move or a
// suspension changed(). Each opening opens the stream's port and disconnect() closes it, so
// nothing an opening sent reaches the stream after it was closed.
class PulseStreamBase : public PulseStreamWatcher,
                        public PulseEventReceiver,
                        public std::enable_shared_from_this<PulseStreamBase> {
  public:
    PulseStreamBase(std::shared_ptr<PulseAudioHardware::Core> core, const PulseDevice& device,
                    const char* role, std::function<void(AudioResult)> onStartFailure)
        : core_(std::move(core)),
          uid_(device.uid),
          isSink_(device.isSink),
          role_(role),
          onStartFailure_(std::move(onStartFailure)) {
        spec_.format = PA_SAMPLE_FLOAT32NE;
        spec_.rate = static_cast<std::uint32_t>(device.rate);
        spec_.channels = static_cast<std::uint8_t>(
            std::clamp<std::uint32_t>(device.channels, 1, PA_CHANNELS_MAX));
        map_ = device.channelMap;
        if (!pa_channel_map_valid(&map_) || map_.channels != spec_.channels) {
            pa_channel_map_init_extend(&map_, spec_.channels, PA_CHANNEL_MAP_DEFAULT);
        }
    }
    ~PulseStreamBase() override { disconnect(); }

    // Running, or opening.
    bool isRunning() const { return isActive_ && !isBroken_.load(); }
    // Opening: the server has not run the stream yet (main thread).
    bool isOpening() const { return isRunning() && !isOpen_; }

  protected:
    // Begins opening the stream and returns at once; an error only when it cannot even try.
    // A later failure reaches didNotOpen, and the owner hears of it when `reportsFailure`.
    AudioResult open(bool reportsFailure) {
        disconnect();
        if (!core_->isConnected) {
            return AudioError::serverUnreachable;
        }
        if (!core_->findByUID(uid_, isSink_)) {
            return AudioError::deviceNotFound;
        }
        std::string error;
        context_ = PulseContext::create(role_, &error);
        if (!context_) {
            return AudioError::serverUnreachable;
        }
        // Read by the connection's thread, which starts below.
        periodFrames_ = core_->periodFrames;
        isReady_ = false;
        isOpen_ = false;
        isBroken_.store(false);
        reportsFailure_ = reportsFailure;
        core_->events->open(events_, weak_from_this());
        context_->setFailureHandler([this] { broke(); });
        const bool began = context_->start(kStreamTimeout, [this](bool isReady, int) {
            if (isReady) {
                openStream();
            } else {
                openFailed(AudioError::serverUnreachable);
            }
        });
        if (!began) {
            disconnect();
            return AudioError::serverUnreachable;
        }
        isActive_ = true;
        return {};
    }

    // Closes the stream; no callback runs, and no event of the opening arrives, after it
    // returns. Waits at most for one callback of our own, never for the server.
    void disconnect() {
        isActive_ = false;
        if (context_) {
            {
                PulseContext::Lock lock(*context_);
                context_->clearDeadline();
                closeStream();
            }
            context_->stopEvents();
            context_.reset();
        }
        events_.close();
    }

    // Connection thread: the running stream (`kind` failed) or its connection (serverGone)
    // broke.
    void failed(PulseEventKind kind, std::int32_t code = 0) {
        if (isBroken_.exchange(true)) {
            return;
        }
        events_.send(kind, code);
    }

    // Connection thread: tell the main thread about a change that leaves the stream running.
    void notifyChange(PulseEventKind kind) { events_.send(kind); }

    // Sets up the callbacks and connects the stream; connection thread.
    virtual bool connectStream() = 0;
    // Main thread: the stream broke (its device went away, it was killed, the server went).
    virtual void lost() = 0;
    // Main thread: it was moved or suspended.
    virtual void changed() {}
    // Main thread: an opening failed after open() had accepted it; the stream is closed.
    virtual void didNotOpen(AudioResult failure) { reportStartFailure(failure); }

    // Whether the owner hears of a failure of the current opening: its own start.
    bool reportsFailure() const { return reportsFailure_; }
    void reportStartFailure(AudioResult failure) {
        if (reportsFailure_ && onStartFailure_) {
            onStartFailure_(failure);
        }
    }

    std::size_t frameBytes() const { return pa_frame_size(&spec_); }

    std::shared_ptr<PulseAudioHardware::Core> core_;
    const std::string uid_;
    const bool isSink_;
    const char* role_;
    pa_sample_spec spec_{};
    pa_channel_map map_{};
    int periodFrames_ = 128;  // of this opening
    std::unique_ptr<PulseContext> context_;
    pa_stream* stream_ = nullptr;      // connection thread, or lock held
    std::function<void()> onStarted_;  // main thread: the owner's own opening runs

  private:
    // Main thread: what the connection thread of the current opening sent.
    void received(const PulseEvent& event) override {
        switch (event.kind) {
            case PulseEventKind::openFailed:
                disconnect();
                didNotOpen(static_cast<AudioError>(event.code));
                break;
            case PulseEventKind::moved:
            case PulseEventKind::suspended:
                changed();
                break;
            case PulseEventKind::failed:
            case PulseEventKind::serverGone:
                lost();
                break;
            case PulseEventKind::opened:
                isOpen_ = true;
                if (reportsFailure_ && onStarted_) {
                    onStarted_();
                }
                break;
        }
    }

    // Connection thread: the connection is ready; create the stream and give the server
    // kStreamTimeout to run it. This thread renders or captures from now on: it asks for
    // real-time scheduling first, before any audio callback can run (the main side logs the
    // outcome, see PulseEventPipe::drain).
    void openStream() {
        promoteToRealtime(role_);
        stream_ = pa_stream_new(context_->context(), role_, &spec_, &map_);
        if (!stream_) {
            openFailed(AudioError::streamRefused);
            return;
        }
        pa_stream_set_state_callback(stream_, &PulseStreamBase::onStreamState, this);
        if (!connectStream()) {
            openFailed(AudioError::streamRefused);
            return;
        }
        // Taken but never run: on PipeWire, nothing links streams without a session manager.
        context_->setDeadline(kStreamTimeout, [this] { openFailed(AudioError::streamNotStarted); });
    }

    static void onStreamState(pa_stream* s, void* data) {
        auto* self = static_cast<PulseStreamBase*>(data);
        switch (pa_stream_get_state(s)) {
            case PA_STREAM_READY:
                if (!self->isReady_) {
                    self->isReady_ = true;
                    self->context_->clearDeadline();
                    self->notifyChange(PulseEventKind::opened);
                }
                break;
            case PA_STREAM_FAILED:
            case PA_STREAM_TERMINATED:
                if (self->isReady_) {
                    self->failed(PulseEventKind::failed);
                } else {
                    const bool missing =
                        pa_context_errno(self->context_->context()) == PA_ERR_NOENTITY;
                    self->openFailed(missing ? AudioError::deviceNotFound
                                             : AudioError::streamRefused);
                }
                break;
            default:
                break;
        }
    }

    // Connection thread: the connection failed after it was ready.
    void broke() {
        if (isReady_) {
            failed(PulseEventKind::serverGone, pa_context_errno(context_->context()));
        } else {
            openFailed(AudioError::serverUnreachable);
        }
    }

    // Connection thread: the opening failed; the main side closes the stream.
    void openFailed(AudioError error) {
        if (isBroken_.exchange(true)) {
            return;
        }
        events_.send(PulseEventKind::openFailed, static_cast<std::int32_t>(error));
    }

    void closeStream() {
        if (!stream_) {
            return;
        }
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_write_callback(stream_, nullptr, nullptr);
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        pa_stream_set_moved_callback(stream_, nullptr, nullptr);
        pa_stream_set_suspended_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }

    std::function<void(AudioResult)> onStartFailure_;
    PulseEventPort events_;
    // Main thread.
    bool isActive_ = false;  // open() accepted and not closed since
    bool isOpen_ = false;    // main thread: the server ran the current opening
    bool reportsFailure_ = false;
    // Connection thread.
    bool isReady_ = false;  // the server runs the stream
    // Set on the connection's thread when the opening or the stream fails.
    std::atomic<bool> isBroken_{false};
};

// A bus output: the render callback fills what the server asks for.
class PulseOutput final : public PulseStreamBase {
  public:
    PulseOutput(std::shared_ptr<PulseAudioHardware::Core> core, const PulseDevice& device,
                OutputRenderCallback render, StreamEvents events)
        : PulseStreamBase(std::move(core), device, "Bus output", std::move(events.onStartFailure)),
          render_(std::move(render)),
          onChange_(std::move(events.onConfigurationChange)),
          planes_(kRenderChunkFrames * spec_.channels),
          pointers_(spec_.channels) {
        onStarted_ = std::move(events.onStarted);
        for (std::size_t c = 0; c < pointers_.size(); ++c) {
            pointers_[c] = planes_.data() + c * kRenderChunkFrames;
        }
    }

    AudioResult start() { return isRunning() ? AudioResult{} : open(true); }
    void stop() { disconnect(); }

    void serverReturned() override { signalChange(); }

  private:
    bool connectStream() override {
        const int period = periodFrames_;
        const auto shortest = static_cast<int>(std::ceil(spec_.rate * kShortestOutputBuffer));
        const auto longest = static_cast<int>(std::floor(spec_.rate * kLongestOutputBuffer));
        const int target = std::clamp(2 * period, shortest, longest);
        const auto bytes = static_cast<std::uint32_t>(frameBytes());
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.tlength = static_cast<std::uint32_t>(target) * bytes;
        attributes.prebuf = static_cast<std::uint32_t>(-1);
        // The server chooses how much it asks for at a time: asking for every period made it
        // split the buffer so that a late wake-up underran; its own choice did not.
        attributes.minreq = static_cast<std::uint32_t>(-1);
        attributes.fragsize = static_cast<std::uint32_t>(-1);
        pa_stream_set_write_callback(stream_, &PulseOutput::onWrite, this);
        pa_stream_set_moved_callback(
            stream_,
            [](pa_stream*, void* data) {
                static_cast<PulseOutput*>(data)->notifyChange(PulseEventKind::moved);
            },
            this);
        pa_stream_set_suspended_callback(
            stream_,
            [](pa_stream* s, void* data) {
                if (pa_stream_is_suspended(s) == 1) {
                    static_cast<PulseOutput*>(data)->notifyChange(PulseEventKind::suspended);
                }
            },
            this);
        const auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
        return pa_stream_connect_playback(stream_, uid_.c_str(), &attributes, flags, nullptr,
                                          nullptr) == 0;
    }

    void lost() override {
        disconnect();
        signalChange();
    }
    void changed() override { signalChange(); }
    void signalChange() {
        if (onChange_) {
            onChange_();
        }
    }

    // Connection thread. Only our own part counts as the render cycle: the server's calls
    // around it are the client library's.
    static void onWrite(pa_stream* s, std::size_t requested, void* data) {
        ScopedNoDenormals noDenormals;
        auto* self = static_cast<PulseOutput*>(data);
        const std::size_t bytesPerFrame = self->frameBytes();
        const int channels = self->spec_.channels;
        while (requested >= bytesPerFrame) {
            void* buffer = nullptr;
            std::size_t bytes = requested;
            if (pa_stream_begin_write(s, &buffer, &bytes) < 0 || !buffer) {
                return;
            }
            const std::size_t frames =
                std::min(std::min(bytes, requested) / bytesPerFrame, kRenderChunkFrames);
            if (frames == 0) {
                pa_stream_cancel_write(s);
                return;
            }
            {
                RealtimeScope realtime;
                self->render_(self->pointers_.data(), channels, static_cast<int>(frames),
                              self->spec_.rate);
                auto* out = static_cast<float*>(buffer);
                for (std::size_t f = 0; f < frames; ++f) {
                    for (int c = 0; c < channels; ++c) {
                        out[f * channels + c] = self->pointers_[c][f];
                    }
                }
            }
            pa_stream_write(s, buffer, frames * bytesPerFrame, nullptr, 0, PA_SEEK_RELATIVE);
            requested -= frames * bytesPerFrame;
        }
    }

    OutputRenderCallback render_;
    std::function<void()> onChange_;
    std::vector<float> planes_;
    std::vector<float*> pointers_;
};

// A record stream that hands over exactly `framesPerBuffer` frames at a time, interleaved.
// When its source goes away it waits for a source of the same name and opens again.
class PulseRecord final : public PulseStreamBase {
  public:
    using Deliver =
        std::function<void(const float* interleaved, int frames, int channels, double rate)>;

    PulseRecord(std::shared_ptr<PulseAudioHardware::Core> core, const PulseDevice& device,
                const char* role, std::uint32_t framesPerBuffer, Deliver deliver,
                std::function<void(AudioResult)> onStartFailure)
        : PulseStreamBase(std::move(core), device, role, std::move(onStartFailure)),
          framesPerBuffer_(std::max<std::uint32_t>(framesPerBuffer, 1)),
          deliver_(std::move(deliver)),
          pending_(static_cast<std::size_t>(framesPerBuffer_) * spec_.channels) {}

    // A refused start, and an opening that fails later, leave the stream stopped.
    AudioResult start() {
        if (isRunning()) {
            return {};
        }
        const AudioResult result = open(true);
        isWanted_ = result.ok();
        return result;
    }
    void stop() {
        isWanted_ = false;
        disconnect();
    }

    void devicesChanged() override { reopen(); }
    void serverReturned() override { reopen(); }

  private:
    bool connectStream() override {
        filled_ = 0;
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.fragsize = framesPerBuffer_ * static_cast<std::uint32_t>(frameBytes());
        attributes.tlength = attributes.prebuf = attributes.minreq = static_cast<std::uint32_t>(-1);
        pa_stream_set_read_callback(stream_, &PulseRecord::onRead, this);
        const auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
        return pa_stream_connect_record(stream_, uid_.c_str(), &attributes, flags) == 0;
    }

    void lost() override {
        disconnect();
        reopen();
    }

    void didNotOpen(AudioResult failure) override {
        // The owner's own start: it hears of the failure and decides. A reopening is tried
        // again at the next change of the device table.
        if (reportsFailure()) {
            isWanted_ = false;
            reportStartFailure(failure);
        }
    }

    void reopen() {
        if (!isWanted_ || isRunning() || !core_->isConnected || !core_->findByUID(uid_, false)) {
            return;
        }
        (void)open(false);
    }

    // Connection thread. As for output, only our own part counts as the capture cycle.
    static void onRead(pa_stream* s, std::size_t, void* data) {
        ScopedNoDenormals noDenormals;
        auto* self = static_cast<PulseRecord*>(data);
        const std::size_t bytesPerFrame = self->frameBytes();
        while (pa_stream_readable_size(s) > 0) {
            const void* samples = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(s, &samples, &bytes) < 0 || bytes == 0) {
                return;
            }
            {
                RealtimeScope realtime;
                self->append(static_cast<const float*>(samples), bytes / bytesPerFrame);
            }
            pa_stream_drop(s);
        }
    }

    // Connection thread. Null samples stand for a hole in the stream: silence.
    void append(const float* samples, std::size_t frames) {
        const std::size_t channels = spec_.channels;
        while (frames > 0) {
            const std::size_t n = std::min<std::size_t>(frames, framesPerBuffer_ - filled_);
            float* to = pending_.data() + filled_ * channels;
            if (samples) {
                std::copy_n(samples, n * channels, to);
                samples += n * channels;
            } else {
                std::fill_n(to, n * channels, 0.0f);
            }
            filled_ += n;
            frames -= n;
            if (filled_ == framesPerBuffer_) {
                deliver_(pending_.data(), static_cast<int>(framesPerBuffer_),
                         static_cast<int>(channels), spec_.rate);
                filled_ = 0;
            }
        }
    }

    std::uint32_t framesPerBuffer_;
    Deliver deliver_;
    std::vector<float> pending_;  // connection thread
    std::size_t filled_ = 0;
    bool isWanted_ = false;
};

// The AudioStream the graph holds; the stream itself is shared with the main queue's tasks.
template <typename Stream>
class StreamHandle final : public AudioStream {
  public:
    explicit StreamHandle(std::shared_ptr<Stream> stream) : stream_(std::move(stream)) {}
    ~StreamHandle() override { stream_->stop(); }
    AudioResult start() override { return stream_->start(); }
    void stop() override { stream_->stop(); }
    bool isRunning() const override { return stream_->isRunning(); }
    bool isOpening() const override { return stream_->isOpening(); }

  private:
    std::shared_ptr<Stream> stream_;
};

// Splits interleaved frames into the planes an input callback takes.
class Deinterleaver {
  public:
    Deinterleaver(std::size_t frames, std::size_t channels)
        : planes_(frames * channels), pointers_(channels), frames_(frames) {
        for (std::size_t c = 0; c < channels; ++c) {
            pointers_[c] = planes_.data() + c * frames;
        }
    }
    const float* const* split(const float* interleaved, int frames, int channels) {
        const auto n = std::min<std::size_t>(static_cast<std::size_t>(frames), frames_);
        for (std::size_t f = 0; f < n; ++f) {
            for (int c = 0; c < channels; ++c) {
                planes_[static_cast<std::size_t>(c) * frames_ + f] =
                    interleaved[f * static_cast<std::size_t>(channels) + c];
            }
        }
        return pointers_.data();
    }

  private:
    std::vector<float> planes_;
    std::vector<const float*> pointers_;
    std::size_t frames_;
};

}  // namespace

namespace {

// The device a stream is opened on, or null with the status that refuses it: an unknown id,
// or a device without that direction.
const PulseDevice* findDevice(const PulseAudioHardware::Core& core, DeviceID id, bool isSink,
                              AudioError* error) {
    const PulseDevice* d = core.find(id);
    if (!d || d->isSink != isSink) {
        if (error) {
            *error = !d ? AudioError::deviceNotFound : AudioError::wrongDirection;
        }
        return nullptr;
    }
    return d;
}

}  // namespace

struct PulseAudioHardware::IOProcEntry {
    DeviceID device = kNoDevice;
    std::shared_ptr<PulseRecord> stream;
};

PulseAudioHardware::PulseAudioHardware(std::shared_ptr<Core> core) : core_(std::move(core)) {}

PulseAudioHardware::~PulseAudioHardware() {
    ioProcs_.clear();
}

std::unique_ptr<AudioStream> PulseAudioHardware::openOutputStream(DeviceID device,
                                                                  OutputRenderCallback render,
                                                                  StreamEvents events,
                                                                  AudioError* error) {
    const PulseDevice* d = findDevice(*core_, device, true, error);
    if (!d || !render) {
        return nullptr;
    }
    auto stream = std::make_shared<PulseOutput>(core_, *d, std::move(render), std::move(events));
    core_->addWatcher(stream);
    return std::make_unique<StreamHandle<PulseOutput>>(std::move(stream));
}

std::unique_ptr<AudioStream> PulseAudioHardware::openInputStream(DeviceID device,
                                                                 std::uint32_t framesPerBuffer,
                                                                 InputCaptureCallback capture,
                                                                 StreamEvents events,
                                                                 AudioError* error) {
    const PulseDevice* d = findDevice(*core_, device, false, error);
    if (!d || !capture) {
        return nullptr;
    }
    auto planes =
        std::make_shared<Deinterleaver>(std::max<std::uint32_t>(framesPerBuffer, 1),
                                        std::clamp<std::uint32_t>(d->channels, 1, PA_CHANNELS_MAX));
    auto stream = std::make_shared<PulseRecord>(
        core_, *d, "Microphone", framesPerBuffer,
        [capture = std::move(capture), planes](const float* interleaved, int frames, int channels,
                                               double rate) {
            const float* const* split = planes->split(interleaved, frames, channels);
            capture(split, channels, frames, rate);
        },
        std::move(events.onStartFailure));
    core_->addWatcher(stream);
    return std::make_unique<StreamHandle<PulseRecord>>(std::move(stream));
}

std::optional<AudioHardware::IOProcID> PulseAudioHardware::createIOProc(
    DeviceID device, IOProc proc, AudioError* error,
    std::function<void(AudioResult)> onStartFailure) {
    const PulseDevice* d = findDevice(*core_, device, false, error);
    if (!d || !proc) {
        return std::nullopt;
    }
    auto entry = std::make_unique<IOProcEntry>();
    entry->device = device;
    entry->stream = std::make_shared<PulseRecord>(
        core_, *d, "Level monitor", static_cast<std::uint32_t>(core_->periodFrames),
        [proc = std::move(proc)](const float* interleaved, int frames, int channels, double) {
            proc(interleaved, static_cast<std::size_t>(frames) * channels * sizeof(float));
        },
        std::move(onStartFailure));
    core_->addWatcher(entry->stream);
    const IOProcID id = nextIOProcID_++;
    ioProcs_[id] = std::move(entry);
    return id;
}

AudioResult PulseAudioHardware::startIOProc(DeviceID device, IOProcID id) {
    auto it = ioProcs_.find(id);
    if (it == ioProcs_.end() || it->second->device != device) {
        return AudioError::deviceNotFound;
    }
    return it->second->stream->start();
}

void PulseAudioHardware::stopIOProc(DeviceID device, IOProcID id) {
    auto it = ioProcs_.find(id);
    if (it != ioProcs_.end() && it->second->device == device) {
        it->second->stream->stop();
    }
}

void PulseAudioHardware::destroyIOProc(DeviceID device, IOProcID id) {
    auto it = ioProcs_.find(id);
    if (it != ioProcs_.end() && it->second->device == device) {
        it->second->stream->stop();
        ioProcs_.erase(it);
    }
}

}  // namespace qv
