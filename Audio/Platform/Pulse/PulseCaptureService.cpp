#include "Audio/Platform/Pulse/PulseCaptureService.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "Audio/Platform/Pulse/PulseContext.h"
#include "Audio/Platform/Pulse/PulseEvents.h"
#include "Foundation/RealtimeScope.h"
#include "Foundation/RealtimeThread.h"
#include "Foundation/ScopedNoDenormals.h"

namespace qv {
namespace {

constexpr std::uint32_t kDisplayID = 1;
// Frames in each delivered buffer, and the fragment size asked of the server.
constexpr std::size_t kBlockFrames = 128;
// What the server hands over at a time: two blocks. Every wake-up of a capture thread costs
// several system calls, and a block at a time doubled the capture's CPU use for 2.7 ms less.
constexpr std::size_t kFragmentFrames = 2 * kBlockFrames;
constexpr auto kConnectTimeout = std::chrono::milliseconds(2000);
constexpr Seconds kFirstRetryDelay = 0.25;
constexpr Seconds kLongestRetryDelay = 4.0;
// Each recorded stream's queue holds at most this much (about a third of a second at 48 kHz).
constexpr std::size_t kQueueFrames = 16384;
// How far the other streams may run ahead of one that delivers nothing before it is left out:
// 20 ms, or twice the largest delivery seen when the server sends bigger pieces, up to 100 ms.
constexpr double kLagSeconds = 0.02;
constexpr double kLongestLagSeconds = 0.1;

void release(pa_operation* operation) {
    if (operation) {
        pa_operation_unref(operation);
    }
}

// An application as one client or playback stream shows it.
struct AppEntry {
    PulseApplicationIdentity identity;
    bool isOwn = false;
};

AppEntry appEntry(const pa_proplist* properties) {
    return {applicationIdentity(properties), isOwnApplication(properties)};
}

// A playback stream's application: what its own properties say, its client's where they are
// silent. The server copies the client's properties into its streams, so the client rarely
// adds anything.
AppEntry streamApplication(AppEntry stream, const AppEntry* client) {
    if (!client) {
        return stream;
    }
    stream.isOwn = stream.isOwn || client->isOwn;
    auto& identity = stream.identity;
    if (identity.bundleIdentifier.empty()) {
        identity.bundleIdentifier = client->identity.bundleIdentifier;
    }
    if (identity.name.empty()) {
        identity.name = client->identity.name;
    }
    if (identity.processID == 0) {
        identity.processID = client->identity.processID;
    }
    return stream;
}

// Which playback streams a capture takes. This program's own never.
struct Selection {
    std::optional<std::string> included;
    std::vector<std::string> excluded;

    bool takes(const AppEntry& app) const {
        const std::string& bundle = app.identity.bundleIdentifier;
        if (app.isOwn || bundle == kOwnBundleIdentifier) {
            return false;
        }
        if (included) {
            return bundle == *included;
        }
        return std::find(excluded.begin(), excluded.end(), bundle) == excluded.end();
    }
};

struct CaptureFormat {
    pa_sample_spec samples{};
    pa_channel_map map{};

    std::size_t frameBytes() const { return pa_frame_size(&samples); }
};

// A fixed-size queue of interleaved frames between one stream's event thread (the writer) and
// the session's event thread (the reader), without a lock. Allocated before either runs.
class FrameQueue {
  public:
    void allocate(std::size_t frames, std::uint32_t channels) {
        channels_ = channels;
        capacity_ = frames;
        samples_.assign(frames * channels, 0.0f);
        written_.store(0, std::memory_order_relaxed);
        read_.store(0, std::memory_order_relaxed);
    }
    // Reader: frames waiting.
    std::size_t frames() const {
        return written_.load(std::memory_order_acquire) - read_.load(std::memory_order_relaxed);
    }

    // Writer: appends up to `frames` frames (silence when `data` is null); what does not fit is
    // dropped. Returns how many were kept.
    std::size_t write(const float* data, std::size_t frames) {
        const std::size_t written = written_.load(std::memory_order_relaxed);
        const std::size_t space = capacity_ - (written - read_.load(std::memory_order_acquire));
        frames = std::min(frames, space);
        std::size_t at = written % capacity_;
        for (std::size_t left = frames; left > 0;) {
            const std::size_t run = std::min(left, capacity_ - at);
            float* to = samples_.data() + at * channels_;
            if (data) {
                std::copy_n(data, run * channels_, to);
                data += run * channels_;
            } else {
                std::fill_n(to, run * channels_, 0.0f);
            }
            left -= run;
            at = 0;
        }
        written_.store(written + frames, std::memory_order_release);
        return frames;
    }

    // Reader: adds the oldest `frames` frames to `out` and removes them; at most frames().
    void mixInto(float* out, std::size_t frames) {
        const std::size_t read = read_.load(std::memory_order_relaxed);
        std::size_t at = read % capacity_;
        for (std::size_t left = frames; left > 0;) {
            const std::size_t run = std::min(left, capacity_ - at);
            const float* from = samples_.data() + at * channels_;
            for (std::size_t i = 0; i < run * channels_; ++i) {
                out[i] += from[i];
            }
            out += run * channels_;
            left -= run;
            at = 0;
        }
        read_.store(read + frames, std::memory_order_release);
    }

    // Reader.
    void discard(std::size_t frames) {
        frames = std::min(frames, this->frames());
        read_.store(read_.load(std::memory_order_relaxed) + frames, std::memory_order_release);
    }
    void clear() { discard(frames()); }

  private:
    std::vector<float> samples_;
    std::size_t capacity_ = 0;
    std::uint32_t channels_ = 0;
    std::atomic<std::size_t> written_{0};
    std::atomic<std::size_t> read_{0};
};

class CaptureSession;

// One playback stream recorded on its sink's monitor, on a connection and event thread of its
// own: PipeWire's PulseAudio service lets several recordings on one connection stall each
// other for seconds. The stream's thread only fills the queue and wakes the session; the
// session's thread decides, mixes and delivers.
struct Tap {
    CaptureSession* session = nullptr;
    std::uint32_t sinkInput = PA_INVALID_INDEX;
    std::uint32_t sink = PA_INVALID_INDEX;
    std::string monitor;
    std::unique_ptr<PulseContext> context;
    pa_stream* stream = nullptr;  // the stream's thread, or its lock held
    FrameQueue queue;
    // Set on the stream's thread, seen on the session's.
    std::atomic<bool> wasReady{false};  // the server accepted the recording once
    std::atomic<bool> hasEnded{false};  // the recording failed or ended, or its connection did
    std::atomic<std::size_t> largestDelivery{0};
    // Session thread.
    bool isDead = false;  // ended, and seen so by the session
    // Whether blocks wait for this stream's frames. A new stream and one that fell behind are
    // only waited for again once they have a block's worth.
    bool isWaitedFor = false;
};

// One connection of a capture stream: its event thread, the playback streams it records and
// their mix. Everything but construction and destruction runs on the event thread with the
// loop's lock held. The event thread is the capture thread: it asks for real-time scheduling
// once connected, and tells the main thread what becomes of the session only through its port.
class CaptureSession {
  public:
    // Makes the session's connection and begins connecting; returns at once. What becomes of
    // it goes through `events`, opened for this session: opened once it listens; openFailed
    // when it could not connect, or serverGone when the connection failed before or after it
    // listened (both with the server's error). Null and the reason when connecting cannot even
    // begin.
    static std::unique_ptr<CaptureSession> open(const Selection& selection,
                                                const CaptureFormat& format,
                                                const CaptureStream::SampleHandler& handler,
                                                PulseEventPort& events, std::string* error) {
        std::string reason;
        auto context = PulseContext::create("capture", &reason);
        if (!context) {
            *error = "Cannot reach the sound server: " + reason;
            return nullptr;
        }
        std::unique_ptr<CaptureSession> session(
            new CaptureSession(selection, format, handler, events));
        session->context_ = std::move(context);
        CaptureSession* raw = session.get();
        if (session->wake_ < 0) {
            *error = std::string("Cannot watch the capture streams: ") + std::strerror(errno);
            return nullptr;
        }
        pa_mainloop_api* api = session->context_->api();
        session->wakeWatch_ =
            api->io_new(api, session->wake_, PA_IO_EVENT_INPUT, &CaptureSession::onWake, raw);
        session->context_->setFailureHandler([raw] { raw->connectionLost(); });
        if (!session->context_->start(kConnectTimeout, [raw](bool isReady, int error) {
                raw->connected(isReady, error);
            })) {
            *error = "Cannot reach the sound server: " + session->context_->lastError();
            return nullptr;
        }
        return session;
    }

    // Not on the event thread. No buffer is delivered once this begins.
    ~CaptureSession() {
        std::vector<std::unique_ptr<Tap>> taps;
        if (context_) {
            PulseContext::Lock lock(*context_);
            isClosing_ = true;
            pa_context_set_subscribe_callback(context_->context(), nullptr, nullptr);
            taps = std::move(taps_);
        }
        for (auto& tap : taps) {
            close(*tap);
        }
        if (context_) {
            context_->stopEvents();
            if (wakeWatch_) {
                context_->api()->io_free(wakeWatch_);
            }
            context_.reset();
        }
        if (wake_ >= 0) {
            ::close(wake_);
        }
    }

    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

  private:
    CaptureSession(const Selection& selection, const CaptureFormat& format,
                   const CaptureStream::SampleHandler& handler, PulseEventPort& events)
        : selection_(selection),
          format_(format),
          handler_(handler),
          events_(events),
          wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        block_.assign(kBlockFrames * format_.samples.channels, 0.0f);
        lagFrames_ = static_cast<std::size_t>(kLagSeconds * format_.samples.rate);
        longestLagFrames_ = static_cast<std::size_t>(kLongestLagSeconds * format_.samples.rate);
    }

    pa_context* context() const { return context_->context(); }

    // Follows clients, sinks and playback streams from now on and looks at those there are.
    bool listen() {
        pa_context_set_subscribe_callback(context(), &CaptureSession::onEvent, this);
        const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK |
                                                              PA_SUBSCRIPTION_MASK_SINK_INPUT |
                                                              PA_SUBSCRIPTION_MASK_CLIENT);
        pa_operation* operations[] = {
            pa_context_subscribe(context(), mask, nullptr, nullptr),
            pa_context_get_client_info_list(context(), &CaptureSession::onClient, this),
            pa_context_get_sink_info_list(context(), &CaptureSession::onSink, this),
            pa_context_get_sink_input_info_list(context(), &CaptureSession::onSinkInput, this),
        };
        bool isListening = true;
        for (pa_operation* operation : operations) {
            isListening = isListening && operation;
            release(operation);
        }
        return isListening;
    }

    // Event thread: the connection is ready, or could not get ready.
    void connected(bool isReady, int error) {
        if (!isReady) {
            isLost_ = true;
            events_.send(PulseEventKind::openFailed, error);
            return;
        }
        // Before the first recording, so no capture callback runs while it asks.
        promoteToRealtime("App capture");
        if (!listen()) {
            isLost_ = true;
            events_.send(PulseEventKind::serverGone, pa_context_errno(context()));
        } else {
            isListening_ = true;
            events_.send(PulseEventKind::opened);
        }
    }

    void connectionLost() {
        if (isClosing_ || isLost_) {
            return;
        }
        isLost_ = true;
        for (auto& tap : taps_) {
            tap->isDead = true;
        }
        events_.send(PulseEventKind::serverGone, pa_context_errno(context()));
    }

    static void onEvent(pa_context* c, pa_subscription_event_type_t type, std::uint32_t index,
                        void* self) {
        auto* s = static_cast<CaptureSession*>(self);
        if (s->isClosing_ || s->isLost_) {
            return;
        }
        const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const bool isRemoval =
            (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
        switch (facility) {
            case PA_SUBSCRIPTION_EVENT_CLIENT:
                if (isRemoval) {
                    s->clients_.erase(index);
                } else {
                    release(pa_context_get_client_info(c, index, &CaptureSession::onClient, s));
                }
                break;
            case PA_SUBSCRIPTION_EVENT_SINK:
                if (isRemoval) {
                    s->monitors_.erase(index);
                } else {
                    release(
                        pa_context_get_sink_info_by_index(c, index, &CaptureSession::onSink, s));
                }
                break;
            case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
                if (isRemoval) {
                    s->detach(index);
                } else {
                    release(
                        pa_context_get_sink_input_info(c, index, &CaptureSession::onSinkInput, s));
                }
                break;
            default:
                break;
        }
    }

    static void onClient(pa_context*, const pa_client_info* info, int eol, void* self) {
        auto* s = static_cast<CaptureSession*>(self);
        if (eol || !info || s->isClosing_) {
            return;
        }
        s->clients_[info->index] = appEntry(info->proplist);
    }

    static void onSink(pa_context* c, const pa_sink_info* info, int eol, void* self) {
        auto* s = static_cast<CaptureSession*>(self);
        if (eol || !info || s->isClosing_ || !info->monitor_source_name) {
            return;
        }
        const bool isNew = s->monitors_.find(info->index) == s->monitors_.end();
        s->monitors_[info->index] = info->monitor_source_name;
        if (isNew && s->isWaitingForSink_) {
            // A playback stream was seen on a sink not known then: look at them all again.
            s->isWaitingForSink_ = false;
            release(pa_context_get_sink_input_info_list(c, &CaptureSession::onSinkInput, s));
        }
    }

    static void onSinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* self) {
        auto* s = static_cast<CaptureSession*>(self);
        if (eol || !info || s->isClosing_ || s->isLost_) {
            return;
        }
        s->consider(*info);
    }

    // A playback stream appeared or changed: record it where it plays now, or stop recording.
    void consider(const pa_sink_input_info& info) {
        const auto client = clients_.find(info.client);
        const AppEntry app = streamApplication(
            appEntry(info.proplist), client == clients_.end() ? nullptr : &client->second);
        Tap* tap = find(info.index);
        if (!selection_.takes(app)) {
            if (tap) {
                detach(info.index);
            }
            return;
        }
        if (info.sink == PA_INVALID_INDEX) {
            return;  // on its way to another sink; it changes again when it gets there
        }
        if (tap) {
            if (tap->sink == info.sink && (!tap->isDead || !tap->wasReady)) {
                return;  // recorded there already, or the server refused to record it there
            }
            detach(info.index);
        }
        const auto monitor = monitors_.find(info.sink);
        if (monitor == monitors_.end()) {
            isWaitingForSink_ = true;
            release(pa_context_get_sink_info_by_index(context(), info.sink, &CaptureSession::onSink,
                                                      this));
            return;
        }
        attach(info.index, info.sink, monitor->second);
    }

    Tap* find(std::uint32_t sinkInput) {
        for (auto& tap : taps_) {
            if (tap->sinkInput == sinkInput) {
                return tap.get();
            }
        }
        return nullptr;
    }

    void attach(std::uint32_t sinkInput, std::uint32_t sink, const std::string& monitor) {
        auto tap = std::make_unique<Tap>();
        tap->session = this;
        tap->sinkInput = sinkInput;
        tap->sink = sink;
        tap->monitor = monitor;
        tap->queue.allocate(kQueueFrames, format_.samples.channels);
        std::string reason;
        tap->context = PulseContext::create("capture stream", &reason);
        if (!tap->context) {
            return;
        }
        Tap* raw = tap.get();
        tap->context->setFailureHandler([raw] { ended(*raw); });
        if (!tap->context->start(kConnectTimeout, [raw](bool isReady, int) {
                if (isReady) {
                    record(*raw);
                } else {
                    ended(*raw);
                }
            })) {
            return;
        }
        taps_.push_back(std::move(tap));
    }

    // The stream's thread, once its connection is ready: asks the server for the recording.
    static void record(Tap& tap) {
        CaptureSession& s = *tap.session;
        promoteToRealtime("App capture");
        pa_context* context = tap.context->context();
        tap.stream =
            pa_stream_new(context, "Application capture", &s.format_.samples, &s.format_.map);
        if (!tap.stream) {
            ended(tap);
            return;
        }
        pa_stream_set_state_callback(tap.stream, &CaptureSession::onStreamState, &tap);
        pa_stream_set_read_callback(tap.stream, &CaptureSession::onRead, &tap);
        pa_buffer_attr attributes;
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.tlength = static_cast<std::uint32_t>(-1);
        attributes.prebuf = static_cast<std::uint32_t>(-1);
        attributes.minreq = static_cast<std::uint32_t>(-1);
        attributes.fragsize = static_cast<std::uint32_t>(kFragmentFrames * s.format_.frameBytes());
        const auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
        if (pa_stream_set_monitor_stream(tap.stream, tap.sinkInput) < 0 ||
            pa_stream_connect_record(tap.stream, tap.monitor.c_str(), &attributes, flags) < 0) {
            ended(tap);
        }
    }

    // The stream's thread: the recording or its connection ended; the session looks.
    static void ended(Tap& tap) {
        tap.hasEnded.store(true, std::memory_order_release);
        tap.session->wake();
    }

    // Any thread: the session's thread looks at its streams soon.
    void wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
    }

    // Session thread: a stream woke it.
    static void onWake(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* self) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto got = ::read(fd, &count, sizeof count);
        auto* s = static_cast<CaptureSession*>(self);
        if (s->isClosing_ || s->isLost_) {
            return;
        }
        for (auto& tap : s->taps_) {
            const std::size_t delivery = tap->largestDelivery.load(std::memory_order_relaxed);
            s->lagFrames_ = std::max(s->lagFrames_, std::min(2 * delivery, s->longestLagFrames_));
            if (!tap->isDead && tap->hasEnded.load(std::memory_order_acquire)) {
                // The server ends a recording when its playback stream moves or ends. Look at
                // the playback stream again: it is recorded on its new sink if it still exists.
                tap->isDead = true;
                tap->isWaitedFor = false;
                tap->queue.clear();
                release(pa_context_get_sink_input_info(s->context(), tap->sinkInput,
                                                       &CaptureSession::onSinkInput, s));
            }
        }
        s->mix();
    }

    void detach(std::uint32_t sinkInput) {
        for (auto it = taps_.begin(); it != taps_.end(); ++it) {
            if ((*it)->sinkInput == sinkInput) {
                close(**it);
                taps_.erase(it);
                // The others may have been waiting for it.
                mix();
                return;
            }
        }
    }

    // Not on the stream's thread: ends its recording and its connection.
    static void close(Tap& tap) {
        if (!tap.context) {
            return;
        }
        {
            PulseContext::Lock lock(*tap.context);
            if (tap.stream) {
                pa_stream_set_state_callback(tap.stream, nullptr, nullptr);
                pa_stream_set_read_callback(tap.stream, nullptr, nullptr);
                const auto state = pa_stream_get_state(tap.stream);
                if (state == PA_STREAM_CREATING || state == PA_STREAM_READY) {
                    pa_stream_disconnect(tap.stream);
                }
                pa_stream_unref(tap.stream);
                tap.stream = nullptr;
            }
        }
        tap.context->stopEvents();
        tap.context.reset();
    }

    static void onStreamState(pa_stream* stream, void* data) {
        auto* tap = static_cast<Tap*>(data);
        switch (pa_stream_get_state(stream)) {
            case PA_STREAM_READY:
                tap->wasReady.store(true, std::memory_order_release);
                break;
            case PA_STREAM_FAILED:
            case PA_STREAM_TERMINATED:
                ended(*tap);
                break;
            default:
                break;
        }
    }

    // The stream's thread: moves what the server recorded into the stream's queue and wakes
    // the session. Only our own part counts as the capture cycle: the server's calls around it
    // are the client library's.
    static void onRead(pa_stream* stream, std::size_t, void* data) {
        ScopedNoDenormals noDenormals;
        auto* tap = static_cast<Tap*>(data);
        CaptureSession& s = *tap->session;
        const std::size_t frameBytes = s.format_.frameBytes();
        const void* samples = nullptr;
        std::size_t bytes = 0;
        bool took = false;
        while (pa_stream_peek(stream, &samples, &bytes) == 0 && bytes > 0) {
            {
                RealtimeScope realtime;
                // No samples but a length is a hole in the recording: silence.
                const std::size_t frames = bytes / frameBytes;
                tap->queue.write(static_cast<const float*>(samples), frames);
                // Deliveries as large as the lag allowance would leave out streams that are
                // merely a delivery behind.
                if (samples && frames > tap->largestDelivery.load(std::memory_order_relaxed)) {
                    tap->largestDelivery.store(frames, std::memory_order_relaxed);
                }
                took = true;
            }
            pa_stream_drop(stream);
        }
        if (took) {
            s.wake();
        }
    }

    // Delivers a block whenever every stream waited for has one. Streams that deliver nothing
    // while the others run more than the lag allowance ahead (a paused application, a suspended
    // sink) are left out until they deliver again, so they never hold the others up. Also runs
    // when a stream ends, from the server's notifications: a capture cycle all the same.
    void mix() {
        ScopedNoDenormals noDenormals;
        RealtimeScope realtime;
        if (isClosing_ || isLost_) {
            return;
        }
        for (;;) {
            std::size_t most = 0;
            bool isComplete = true;
            for (auto& tap : taps_) {
                if (tap->isDead) {
                    continue;
                }
                const std::size_t frames = tap->queue.frames();
                if (frames >= kBlockFrames) {
                    tap->isWaitedFor = true;
                }
                if (tap->isWaitedFor) {
                    most = std::max(most, frames);
                    isComplete = isComplete && frames >= kBlockFrames;
                }
            }
            if (most < kBlockFrames) {
                return;
            }
            if (!isComplete) {
                if (most < kBlockFrames + lagFrames_) {
                    return;
                }
                for (auto& tap : taps_) {
                    if (tap->queue.frames() < kBlockFrames) {
                        tap->isWaitedFor = false;
                    }
                }
            }
            std::fill(block_.begin(), block_.end(), 0.0f);
            for (auto& tap : taps_) {
                if (!tap->isDead && tap->isWaitedFor) {
                    tap->queue.mixInto(block_.data(), kBlockFrames);
                }
            }
            deliver();
        }
    }

    void deliver() {
        if (!handler_) {
            return;
        }
        CaptureSampleBuffer buffer;
        buffer.sampleRate = format_.samples.rate;
        buffer.channelCount = format_.samples.channels;
        buffer.isInterleaved = true;
        buffer.frameCount = static_cast<std::int64_t>(kBlockFrames);
        buffer.data = block_.data();
        buffer.byteLength = block_.size() * sizeof(float);
        handler_(buffer);
    }

    const Selection& selection_;
    const CaptureFormat format_;
    const CaptureStream::SampleHandler& handler_;
    PulseEventPort& events_;
    std::unique_ptr<PulseContext> context_;

    // Event thread, or with the loop's lock held.
    bool isClosing_ = false;
    bool isListening_ = false;
    bool isLost_ = false;
    bool isWaitingForSink_ = false;
    std::map<std::uint32_t, AppEntry> clients_;
    std::map<std::uint32_t, std::string> monitors_;  // sink index → its monitor source
    std::vector<std::unique_ptr<Tap>> taps_;
    std::vector<float> block_;
    std::size_t lagFrames_ = 0;
    std::size_t longestLagFrames_ = 0;
    int wake_ = -1;  // an eventfd the streams' threads write to
    pa_io_event* wakeWatch_ = nullptr;
};

// The lasting part of a capture stream, shared with the tasks it posts so that a task that
// runs after the stream is gone finds nothing to do. It owns the current connection and makes
// a new one when the server goes away. Each connection is an opening of its port; what becomes
// of it arrives on the main thread through the service's pipe.
class CaptureCore : public PulseEventReceiver, public std::enable_shared_from_this<CaptureCore> {
  public:
    CaptureCore(MainQueue& queue, std::shared_ptr<PulseEventPipe> pipe, Selection selection,
                const CaptureFormat& format)
        : queue_(queue),
          pipe_(std::move(pipe)),
          selection_(std::move(selection)),
          format_(format) {}

    bool setHandler(CaptureStream::SampleHandler handler, std::string* error) {
        std::lock_guard lock(mutex_);
        if (isStarted_ || isStopped_) {
            if (error) {
                *error = "The capture has started already";
            }
            return false;
        }
        handler_ = std::move(handler);
        return true;
    }

    // Main thread. Begins opening the first connection; the completion runs on the main queue
    // once the session listens, or with the reason it could not (or was stopped first).
    void start(CaptureStream::Completion completion) {
        std::optional<std::string> error;
        {
            std::lock_guard lock(mutex_);
            if (isStopped_) {
                error = "The capture has been stopped";
            } else if (isOpening_) {
                starts_.push_back(std::move(completion));
                return;
            } else if (!isStarted_) {
                std::string reason;
                if (openSession(&reason)) {
                    isStarted_ = isOpening_ = true;
                    starts_.push_back(std::move(completion));
                    return;
                }
                error = reason;
            }
        }
        queue_.post([completion = std::move(completion), error] {
            if (completion) {
                completion(error);
            }
        });
    }

    // Any thread but a connection's event thread. Nothing is delivered once this returns.
    void stop() {
        std::unique_ptr<CaptureSession> session;
        std::vector<CaptureStream::Completion> starts;
        {
            std::lock_guard lock(mutex_);
            isStopped_ = true;
            isOpening_ = false;
            retryTask_.cancel();
            session = std::move(session_);
            starts = std::move(starts_);
        }
        session.reset();
        events_.close();
        for (auto& completion : starts) {
            queue_.post([completion = std::move(completion)] {
                if (completion) {
                    completion("The capture has been stopped");
                }
            });
        }
    }

  private:
    // Main thread: what the current session's event thread sent.
    void received(const PulseEvent& event) override {
        switch (event.kind) {
            case PulseEventKind::opened:
                opened(event.opening, std::nullopt);
                break;
            case PulseEventKind::openFailed:
                opened(event.opening,
                       "Cannot reach the sound server: " + PulseContext::describe(event.code));
                break;
            case PulseEventKind::serverGone:
                if (listens(event.opening)) {
                    connectionLost(event.opening);
                } else {
                    opened(event.opening, "The sound server connection failed: " +
                                              PulseContext::describe(event.code));
                }
                break;
            default:
                break;
        }
    }

    // Main thread, mutex held. Begins opening a session; its outcome reaches opened().
    bool openSession(std::string* error) {
        generation_ = pipe_->open(events_, weak_from_this());
        isListening_ = false;
        session_ = CaptureSession::open(selection_, format_, handler_, events_, error);
        if (!session_) {
            events_.close();
        }
        return session_ != nullptr;
    }

    bool listens(std::uint32_t generation) {
        std::lock_guard lock(mutex_);
        return generation == generation_ && isListening_;
    }

    // Main thread: a session listens, or could not open. The first one answers start(); a
    // reconnection that failed is tried again later.
    void opened(std::uint32_t generation, const std::optional<std::string>& failure) {
        std::unique_ptr<CaptureSession> failed;
        std::vector<CaptureStream::Completion> starts;
        {
            std::lock_guard lock(mutex_);
            if (isStopped_ || generation != generation_ || !session_) {
                return;
            }
            if (isOpening_) {
                isOpening_ = false;
                starts = std::move(starts_);
            }
            isListening_ = !failure;
            if (failure) {
                failed = std::move(session_);
                if (starts.empty()) {
                    scheduleRetry();
                } else {
                    isStarted_ = false;
                }
            }
        }
        if (failed) {
            failed.reset();
            events_.close();
        }
        for (auto& completion : starts) {
            if (completion) {
                completion(failure);
            }
        }
    }

    // Main thread.
    void connectionLost(std::uint32_t generation) {
        std::unique_ptr<CaptureSession> lost;
        {
            std::lock_guard lock(mutex_);
            if (isStopped_ || generation != generation_ || !session_) {
                return;
            }
            lost = std::move(session_);
            retryDelay_ = kFirstRetryDelay;
            scheduleRetry();
        }
        lost.reset();
        events_.close();
    }

    // Mutex held.
    void scheduleRetry() {
        std::weak_ptr<CaptureCore> weakSelf = weak_from_this();
        const std::uint32_t generation = generation_;
        retryTask_ = queue_.postAfter(retryDelay_, [weakSelf, generation] {
            if (auto self = weakSelf.lock()) {
                self->retry(generation);
            }
        });
        retryDelay_ = std::min(retryDelay_ * 2, kLongestRetryDelay);
    }

    // Main queue: begins a reconnection.
    void retry(std::uint32_t generation) {
        std::lock_guard lock(mutex_);
        if (isStopped_ || generation != generation_ || session_) {
            return;
        }
        std::string reason;
        if (!openSession(&reason)) {
            scheduleRetry();
        }
    }

    MainQueue& queue_;
    const std::shared_ptr<PulseEventPipe> pipe_;
    const Selection selection_;
    const CaptureFormat format_;
    CaptureStream::SampleHandler handler_;  // set before the first connection, then read only
    PulseEventPort events_;  // opened for each session, closed once its thread has stopped

    std::mutex mutex_;
    bool isStarted_ = false;
    bool isOpening_ = false;                         // the opening start() began is under way
    std::vector<CaptureStream::Completion> starts_;  // answered when it ends
    bool isStopped_ = false;
    std::unique_ptr<CaptureSession> session_;
    std::uint32_t generation_ = 0;  // the current session's opening of the port
    bool isListening_ = false;      // the current session said it listens
    Seconds retryDelay_ = kFirstRetryDelay;
    TaskHandle retryTask_;
};

class PulseCaptureStream final : public CaptureStream {
  public:
    PulseCaptureStream(MainQueue& queue, std::shared_ptr<PulseEventPipe> pipe, Selection selection,
                       const CaptureFormat& format)
        : queue_(queue),
          core_(std::make_shared<CaptureCore>(queue, std::move(pipe), std::move(selection),
                                              format)) {}
    ~PulseCaptureStream() override { core_->stop(); }
    PulseCaptureStream(const PulseCaptureStream&) = delete;
    PulseCaptureStream& operator=(const PulseCaptureStream&) = delete;

    bool addAudioOutput(SampleHandler handler, std::string* error) override {
        return core_->setHandler(std::move(handler), error);
    }
    void startCapture(Completion completion) override { core_->start(std::move(completion)); }
    void stopCapture(Completion completion) override {
        core_->stop();
        queue_.post([completion = std::move(completion)] {
            if (completion) {
                completion(std::nullopt);
            }
        });
    }

  private:
    MainQueue& queue_;
    std::shared_ptr<CaptureCore> core_;
};

}  // namespace

// One shareable-content request: the clients and playback streams the server lists.
struct PulseCaptureService::ContentQuery {
    PulseCaptureService* service = nullptr;
    ContentCompletion completion;
    std::map<std::uint32_t, AppEntry> clients;
    std::vector<std::pair<std::uint32_t, AppEntry>> streams;  // client index, application
    int pending = 0;
    bool isAbandoned = false;
    std::optional<std::string> error;

    void fail(std::string reason) {
        if (!error) {
            error = std::move(reason);
        }
    }

    static void onClient(pa_context* c, const pa_client_info* info, int eol, void* data) {
        auto* query = static_cast<ContentQuery*>(data);
        if (eol < 0) {
            query->fail(std::string("The sound server did not list its clients: ") +
                        pa_strerror(pa_context_errno(c)));
        } else if (!eol && info) {
            query->clients[info->index] = appEntry(info->proplist);
        }
    }

    static void onStream(pa_context* c, const pa_sink_input_info* info, int eol, void* data) {
        auto* query = static_cast<ContentQuery*>(data);
        if (eol < 0) {
            query->fail(std::string("The sound server did not list its streams: ") +
                        pa_strerror(pa_context_errno(c)));
        } else if (!eol && info) {
            query->streams.emplace_back(info->client, appEntry(info->proplist));
        }
    }

    // Event thread, or the thread closing the connection: one listing finished or was dropped.
    static void onStep(pa_operation* operation, void* data) {
        auto* query = static_cast<ContentQuery*>(data);
        const auto state = pa_operation_get_state(operation);
        if (state == PA_OPERATION_RUNNING) {
            return;
        }
        if (state == PA_OPERATION_CANCELLED) {
            query->fail("The connection to the sound server was lost");
        }
        if (--query->pending > 0 || query->isAbandoned) {
            return;
        }
        query->service->finish(query);
    }

    ShareableContent content() const {
        ShareableContent content;
        content.displays.push_back({kDisplayID});
        for (const auto& [clientIndex, entry] : streams) {
            const auto client = clients.find(clientIndex);
            const AppEntry app =
                streamApplication(entry, client == clients.end() ? nullptr : &client->second);
            if (app.isOwn || app.identity.bundleIdentifier.empty() ||
                app.identity.bundleIdentifier == kOwnBundleIdentifier) {
                continue;
            }
            content.applications.push_back(
                {app.identity.bundleIdentifier, app.identity.name, app.identity.processID});
        }
        return content;
    }

    // Hands the answer to the main queue.
    void post(MainQueue& queue) {
        if (error) {
            queue.post([completion = std::move(completion), reason = *error] {
                completion(std::nullopt, reason);
            });
        } else {
            queue.post([completion = std::move(completion), answer = content()] {
                completion(answer, "");
            });
        }
    }
};

// What the watcher of applications shares with the control connection's thread.
struct PulseCaptureService::Watch {
    std::function<void()> changed;  // main thread
    std::atomic<bool> isPending{false};
};

PulseCaptureService::PulseCaptureService(MainQueue& queue)
    : queue_(queue), events_(std::make_shared<PulseEventPipe>(queue)) {}

PulseCaptureService::~PulseCaptureService() {
    dropControl();
    if (watch_) {
        watch_->changed = {};
    }
}

void PulseCaptureService::getShareableContent(ContentCompletion completion) {
    auto query = std::make_unique<ContentQuery>();
    query->service = this;
    query->completion = std::move(completion);
    if (control_) {
        PulseContext::Lock lock(*control_);
        if (control_->isReady()) {
            ask(std::move(query));
            return;
        }
        if (isConnecting_) {
            waiting_.push_back(std::move(query));
            return;
        }
    }
    // No connection, or one that failed: make a new one, which asks once it is ready.
    waiting_.push_back(std::move(query));
    std::string reason;
    if (connectControl(&reason)) {
        return;
    }
    query = std::move(waiting_.back());
    waiting_.clear();
    query->fail("Cannot reach the sound server: " + reason);
    query->post(queue_);
}

// Main thread: drops the control connection there is and begins a new one; the queries in
// waiting_ are asked once it is ready.
bool PulseCaptureService::connectControl(std::string* reason) {
    auto waiting = std::move(waiting_);
    waiting_.clear();
    dropControl();
    waiting_ = std::move(waiting);
    control_ = PulseContext::create("control", reason);
    if (!control_) {
        return false;
    }
    isConnecting_ = true;
    if (control_->start(kConnectTimeout, [this](bool isReady, int error) {
            controlConnected(isReady, PulseContext::describe(error));
        })) {
        return true;
    }
    *reason = control_->lastError();
    isConnecting_ = false;
    control_.reset();
    return false;
}

void PulseCaptureService::watchApplications(std::function<void()> changed) {
    if (!watch_) {
        watch_ = std::make_shared<Watch>();
    }
    watch_->changed = std::move(changed);
    if (control_) {
        PulseContext::Lock lock(*control_);
        if (control_->isReady()) {
            subscribe();
        }
        if (control_->isReady() || isConnecting_) {
            return;
        }
    }
    std::string reason;
    connectControl(&reason);  // subscribes once ready; a failure waits for the next request
}

// Control thread, or its lock held.
void PulseCaptureService::subscribe() {
    pa_context* c = control_->context();
    pa_context_set_subscribe_callback(
        c,
        [](pa_context*, pa_subscription_event_type_t type, std::uint32_t, void* self) {
            if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_CHANGE) {
                static_cast<PulseCaptureService*>(self)->applicationsChanged();
            }
        },
        this);
    const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK_INPUT |
                                                          PA_SUBSCRIPTION_MASK_CLIENT);
    release(pa_context_subscribe(c, mask, nullptr, nullptr));
}

void PulseCaptureService::applicationsChanged() {
    if (!watch_ || watch_->isPending.exchange(true)) {
        return;
    }
    queue_.post([&queue = queue_, watch = std::weak_ptr<Watch>(watch_)] {
        queue.postAfter(0.1, [watch] {
            if (auto w = watch.lock()) {
                w->isPending.store(false);
                if (w->changed) {
                    w->changed();
                }
            }
        });
    });
}

// Event thread: the control connection is ready, or could not get ready.
void PulseCaptureService::controlConnected(bool isReady, const std::string& reason) {
    isConnecting_ = false;
    if (isReady && watch_) {
        subscribe();
    }
    auto waiting = std::move(waiting_);
    waiting_.clear();
    for (auto& query : waiting) {
        if (isReady) {
            ask(std::move(query));
        } else {
            query->fail("Cannot reach the sound server: " + reason);
            query->post(queue_);
        }
    }
}

// Lock held (or on the event thread): lists the clients and playback streams for the query.
void PulseCaptureService::ask(std::unique_ptr<ContentQuery> query) {
    pa_context* c = control_->context();
    pa_operation* operations[] = {
        pa_context_get_client_info_list(c, &ContentQuery::onClient, query.get()),
        pa_context_get_sink_input_info_list(c, &ContentQuery::onStream, query.get()),
    };
    for (pa_operation* operation : operations) {
        if (!operation) {
            query->fail("The sound server did not answer: " + control_->lastError());
            continue;
        }
        ++query->pending;
        pa_operation_set_state_callback(operation, &ContentQuery::onStep, query.get());
        pa_operation_unref(operation);
    }
    if (query->pending == 0) {
        query->post(queue_);
        return;
    }
    queries_.push_back(std::move(query));
}

// Event thread, with the lock held.
void PulseCaptureService::finish(ContentQuery* query) {
    query->post(queue_);
    const auto it = std::find_if(queries_.begin(), queries_.end(),
                                 [query](const auto& q) { return q.get() == query; });
    if (it != queries_.end()) {
        queries_.erase(it);
    }
}

std::shared_ptr<CaptureStream> PulseCaptureService::makeStream(
    const CaptureFilter& filter, const CaptureConfiguration& configuration, std::string* error) {
    CaptureFormat format;
    format.samples.format = PA_SAMPLE_FLOAT32NE;
    format.samples.channels = static_cast<std::uint8_t>(std::min<std::uint32_t>(
        configuration.channelCount, std::numeric_limits<std::uint8_t>::max()));
    const double rate = std::round(configuration.sampleRate);
    format.samples.rate = std::isfinite(rate) && rate >= 1 && rate <= PA_RATE_MAX
                              ? static_cast<std::uint32_t>(rate)
                              : 0;
    if (!pa_sample_spec_valid(&format.samples) || configuration.channelCount > PA_CHANNELS_MAX ||
        !pa_channel_map_init_auto(&format.map, format.samples.channels, PA_CHANNEL_MAP_DEFAULT)) {
        if (error) {
            *error = "The sound server cannot record " +
                     std::to_string(configuration.channelCount) + " channels at " +
                     std::to_string(configuration.sampleRate) + " Hz";
        }
        return nullptr;
    }
    Selection selection{filter.includedApplication, filter.excludedApplications};
    return std::make_shared<PulseCaptureStream>(queue_, events_, std::move(selection), format);
}

void PulseCaptureService::dropControl() {
    if (!control_) {
        return;
    }
    std::vector<std::unique_ptr<ContentQuery>> waiting;
    {
        PulseContext::Lock lock(*control_);
        for (auto& query : queries_) {
            query->isAbandoned = true;
        }
        waiting = std::move(waiting_);
        waiting_.clear();
        isConnecting_ = false;
    }
    control_->stopEvents();
    control_.reset();
    // Queries still waiting get an answer all the same.
    for (auto* list : {&queries_, &waiting}) {
        for (auto& query : *list) {
            query->fail("The capture service closed");
            query->post(queue_);
        }
        list->clear();
    }
}

}  // namespace qv
