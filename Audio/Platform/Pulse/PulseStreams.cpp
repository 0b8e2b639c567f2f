// Playback and record streams, and the I/O procedures built on record streams. Each stream has
// a connection and an event thread of its own.

#include <algorithm>
#include <atomic>
#include <cmath>

#include "Audio/Platform/Pulse/PulseHardwareCore.h"

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
class PulseStreamBase : public PulseStreamWatcher,
                        public std::enable_shared_from_this<PulseStreamBase> {
  public:
    PulseStreamBase(std::shared_ptr<PulseAudioHardware::Core> core, const PulseDevice& device,
                    const char* role)
        : core_(std::move(core)), uid_(device.uid), role_(role) {
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

    bool isRunning() const { return isConnected_ && !isBroken_.load(); }

  protected:
    // Opens the stream and waits until the server has it running.
    AudioResult connect() {
        disconnect();
        if (!core_->isConnected) {
            return AudioError::serverUnreachable;
        }
        std::string error;
        context_ = PulseContext::connect(role_, kStreamTimeout, &error);
        if (!context_) {
            return AudioError::serverUnreachable;
        }
        isBroken_.store(false);
        const AudioResult result = openStream();
        if (!result.ok()) {
            disconnect();
            return result;
        }
        isConnected_ = true;
        return {};
    }

    // Closes the stream; no callback runs after it returns.
    void disconnect() {
        ++serial_;
        isConnected_ = false;
        if (!context_) {
            return;
        }
        {
            PulseContext::Lock lock(*context_);
            closeStream();
        }
        context_->stopEvents();
        context_.reset();
    }

    // Connection thread: the stream or its connection broke.
    void failed(int serial) {
        if (isBroken_.exchange(true)) {
            return;
        }
        core_->queue.post([weak = weak_from_this(), serial] {
            auto self = weak.lock();
            if (self && self->serial_ == serial) {
                self->lost();
            }
        });
    }

    // Connection thread: tell the main thread about a change that leaves the stream running.
    void notifyChange() {
        core_->queue.post([weak = weak_from_this(), serial = serial_.load()] {
            auto self = weak.lock();
            if (self && self->serial_ == serial) {
                self->changed();
            }
        });
    }

    // Sets up the callbacks and connects the stream; lock held.
    virtual bool connectStream() = 0;
    // Main thread: the stream broke (its device went away, it was killed, the server went).
    virtual void lost() = 0;
    // Main thread: it was moved or suspended.
    virtual void changed() {}

    std::size_t frameBytes() const { return pa_frame_size(&spec_); }

    std::shared_ptr<PulseAudioHardware::Core> core_;
    std::string uid_;
    const char* role_;
    pa_sample_spec spec_{};
    pa_channel_map map_{};
    std::unique_ptr<PulseContext> context_;
    pa_stream* stream_ = nullptr;
    std::atomic<bool> isBroken_{false};
    std::atomic<int> serial_{0};
    bool isConnected_ = false;

  private:
    AudioResult openStream() {
        PulseContext::Lock lock(*context_);
        const int serial = serial_.load();
        context_->setFailureHandler([this, serial] { failed(serial); });
        stream_ = pa_stream_new(context_->context(), role_, &spec_, &map_);
        if (!stream_) {
            return AudioError::streamRefused;
        }
        pa_stream_set_state_callback(
            stream_,
            [](pa_stream* s, void* data) {
                auto* self = static_cast<PulseStreamBase*>(data);
                const auto state = pa_stream_get_state(s);
                if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
                    self->failed(self->serial_.load());
                }
                self->context_->signal();
            },
            this);
        if (!connectStream()) {
            return AudioError::streamRefused;
        }
        context_->waitFor([this] { return pa_stream_get_state(stream_) != PA_STREAM_CREATING; },
                          kStreamTimeout);
        if (pa_stream_get_state(stream_) != PA_STREAM_READY) {
            const bool missing = pa_context_errno(context_->context()) == PA_ERR_NOENTITY;
            return missing ? AudioError::deviceNotFound : AudioError::streamRefused;
        }
        return {};
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
};

// A bus output: the render callback fills what the server asks for.
class PulseOutput final : public PulseStreamBase {
  public:
    PulseOutput(std::shared_ptr<PulseAudioHardware::Core> core, const PulseDevice& device,
                OutputRenderCallback render, std::function<void()> onChange)
        : PulseStreamBase(std::move(core), device, "Bus output"),
          render_(std::move(render)),
          onChange_(std::move(onChange)),
          planes_(kRenderChunkFrames * spec_.channels),
          pointers_(spec_.channels) {
        for (std::size_t c = 0; c < pointers_.size(); ++c) {
            pointers_[c] = planes_.data() + c * kRenderChunkFrames;
        }
    }

    AudioResult start() { return isRunning() ? AudioResult{} : connect(); }
    void stop() { disconnect(); }

    void serverReturned() override { signalChange(); }

  private:
    bool connectStream() override {
        const int period = core_->periodFrames;
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
            [](pa_stream*, void* data) { static_cast<PulseOutput*>(data)->notifyChange(); }, this);
        pa_stream_set_suspended_callback(
            stream_,
            [](pa_stream* s, void* data) {
                if (pa_stream_is_suspended(s) == 1) {
                    static_cast<PulseOutput*>(data)->notifyChange();
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

    // Connection thread.
    static void onWrite(pa_stream* s, std::size_t requested, void* data) {
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
            self->render_(self->pointers_.data(), channels, static_cast<int>(frames),
                          self->spec_.rate);
            auto* out = static_cast<float*>(buffer);
            for (std::size_t f = 0; f < frames; ++f) {
                for (int c = 0; c < channels; ++c) {
                    out[f * channels + c] = self->pointers_[c][f];
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
                const char* role, std::uint32_t framesPerBuffer, Deliver deliver)
        : PulseStreamBase(std::move(core), device, role),
          framesPerBuffer_(std::max<std::uint32_t>(framesPerBuffer, 1)),
          deliver_(std::move(deliver)),
          pending_(static_cast<std::size_t>(framesPerBuffer_) * spec_.channels) {}

    AudioResult start() {
        isWanted_ = true;
        return isRunning() ? AudioResult{} : connect();
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

    void reopen() {
        if (!isWanted_ || isRunning() || !core_->isConnected || !core_->findByUID(uid_, false)) {
            return;
        }
        // A failure here is tried again at the next change of the device table.
        (void)connect();
    }

    // Connection thread.
    static void onRead(pa_stream* s, std::size_t, void* data) {
        auto* self = static_cast<PulseRecord*>(data);
        const std::size_t bytesPerFrame = self->frameBytes();
        while (pa_stream_readable_size(s) > 0) {
            const void* samples = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(s, &samples, &bytes) < 0 || bytes == 0) {
                return;
            }
            self->append(static_cast<const float*>(samples), bytes / bytesPerFrame);
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
    auto stream = std::make_shared<PulseOutput>(core_, *d, std::move(render),
                                                std::move(events.onConfigurationChange));
    core_->addWatcher(stream);
    return std::make_unique<StreamHandle<PulseOutput>>(std::move(stream));
}

std::unique_ptr<AudioStream> PulseAudioHardware::openInputStream(DeviceID device,
                                                                 std::uint32_t framesPerBuffer,
                                                                 InputCaptureCallback capture,
                                                                 StreamEvents, AudioError* error) {
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
            capture(planes->split(interleaved, frames, channels), channels, frames, rate);
        });
    core_->addWatcher(stream);
    return std::make_unique<StreamHandle<PulseRecord>>(std::move(stream));
}

std::optional<AudioHardware::IOProcID> PulseAudioHardware::createIOProc(
    DeviceID device, IOProc proc, AudioError* error, std::function<void(AudioResult)>) {
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
        });
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
