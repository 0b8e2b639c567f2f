#include "Audio/Platform/Pulse/PulseContext.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "Audio/Platform/CaptureService.h"

namespace qv {

namespace {

std::atomic<int> blockingWaitCount{0};
thread_local int waitsAllowedDepth = 0;

pa_usec_t fromNow(std::chrono::milliseconds timeout) {
    const auto ms = std::max<std::chrono::milliseconds::rep>(timeout.count(), 0);
    return pa_rtclock_now() + static_cast<pa_usec_t>(ms) * PA_USEC_PER_MSEC;
}

}  // namespace

std::unique_ptr<PulseContext> PulseContext::create(const std::string& role, std::string* error) {
    auto fail = [&](const std::string& reason) -> std::unique_ptr<PulseContext> {
        if (error) {
            *error = reason;
        }
        return nullptr;
    };
    std::unique_ptr<PulseContext> c(new PulseContext);
    c->loop_ = pa_threaded_mainloop_new();
    if (!c->loop_) {
        return fail("cannot create the sound server event loop");
    }
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Quorvanta");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, kOwnBundleIdentifier);
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ICON_NAME, "audio-card");
    pa_proplist_sets(properties, "quorvanta.role", role.c_str());
    c->context_ = pa_context_new_with_proplist(c->api(), "Quorvanta", properties);
    pa_proplist_free(properties);
    if (!c->context_) {
        return fail("cannot create a sound server connection");
    }
    pa_context_set_state_callback(c->context_, &PulseContext::onState, c.get());
    return c;
}

bool PulseContext::start(std::chrono::milliseconds timeout, ReadyHandler done) {
    // The socket connects without blocking; the handshake goes on on the event thread. A
    // connection refused at once fails inside the call: that is this call's answer, not the
    // handler's.
    isBeginning_ = true;
    const bool began =
        pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0 && !failed_;
    isBeginning_ = false;
    if (!began) {
        failed_ = true;
        return false;
    }
    readyHandler_ = std::move(done);
    connectTimer_ = pa_context_rttime_new(
        context_, fromNow(timeout),
        [](pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* data) {
            auto* self = static_cast<PulseContext*>(data);
            api->time_free(event);
            self->connectTimer_ = nullptr;
            if (self->readyHandler_) {
                self->failed_ = true;
                self->finishStart(false, kNoAnswer);
            }
        },
        this);
    if (pa_threaded_mainloop_start(loop_) < 0) {
        readyHandler_ = nullptr;
        failed_ = true;
        return false;
    }
    return true;
}

std::unique_ptr<PulseContext> PulseContext::connect(const std::string& role,
                                                    std::chrono::milliseconds timeout,
                                                    std::string* error) {
    auto c = create(role, error);
    if (!c) {
        return nullptr;
    }
    struct Outcome {
        bool isDone = false;
        bool isReady = false;
        int error = 0;
    };
    auto outcome = std::make_shared<Outcome>();
    PulseContext* raw = c.get();
    if (!c->start(timeout, [outcome, raw](bool isReady, int error) {
            *outcome = {true, isReady, error};
            raw->signal();
        })) {
        if (error) {
            *error = c->lastError();
        }
        return nullptr;
    }
    {
        Lock lock(*c);
        // The connection's own timer ends the wait; ours only guards against a lost wake-up.
        c->waitFor([&] { return outcome->isDone; }, timeout + std::chrono::seconds(1));
    }
    if (!outcome->isReady) {
        if (error) {
            *error = describe(outcome->isDone ? outcome->error : kNoAnswer);
        }
        return nullptr;
    }
    return c;
}

void PulseContext::stopEvents() {
    if (loop_ && !isStopped_) {
        pa_threaded_mainloop_stop(loop_);
        isStopped_ = true;
    }
}

PulseContext::~PulseContext() {
    stopEvents();
    if (loop_) {
        if (connectTimer_) {
            api()->time_free(connectTimer_);
        }
        if (deadline_) {
            api()->time_free(deadline_);
        }
    }
    if (context_) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    if (loop_) {
        pa_threaded_mainloop_free(loop_);
    }
}

PulseContext::Lock::Lock(const PulseContext& c)
    : loop_(c.loop_), locked_(pa_threaded_mainloop_in_thread(c.loop_) == 0) {
    if (locked_) {
        pa_threaded_mainloop_lock(loop_);
    }
}

PulseContext::Lock::~Lock() {
    if (locked_) {
        pa_threaded_mainloop_unlock(loop_);
    }
}

void PulseContext::setFailureHandler(std::function<void()> handler) {
    Lock lock(*this);
    failureHandler_ = std::move(handler);
}

bool PulseContext::isReady() const {
    return !failed_ && context_ && pa_context_get_state(context_) == PA_CONTEXT_READY;
}

void PulseContext::finishStart(bool isReady, int error) {
    if (connectTimer_) {
        api()->time_free(connectTimer_);
        connectTimer_ = nullptr;
    }
    auto done = std::move(readyHandler_);
    readyHandler_ = nullptr;
    if (done) {
        done(isReady, error);
    }
}

void PulseContext::onState(pa_context* context, void* self) {
    auto* c = static_cast<PulseContext*>(self);
    const auto state = pa_context_get_state(context);
    if (c->isBeginning_) {
        c->failed_ = c->failed_ || !PA_CONTEXT_IS_GOOD(state);
        return;
    }
    switch (state) {
        case PA_CONTEXT_READY:
            if (c->readyHandler_) {
                c->finishStart(true, 0);
            }
            c->signal();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            if (!c->failed_) {
                c->failed_ = true;
                if (c->readyHandler_) {
                    c->finishStart(false, pa_context_errno(c->context_));
                } else if (c->failureHandler_) {
                    c->failureHandler_();
                }
            }
            c->signal();
            break;
        default:
            break;
    }
}

void PulseContext::setDeadline(std::chrono::milliseconds timeout, std::function<void()> expired) {
    clearDeadline();
    deadlineHandler_ = std::move(expired);
    deadline_ = pa_context_rttime_new(
        context_, fromNow(timeout),
        [](pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* data) {
            auto* self = static_cast<PulseContext*>(data);
            api->time_free(event);
            self->deadline_ = nullptr;
            auto handler = std::move(self->deadlineHandler_);
            self->deadlineHandler_ = nullptr;
            if (handler) {
                handler();
            }
        },
        this);
}

void PulseContext::clearDeadline() {
    if (deadline_) {
        api()->time_free(deadline_);
        deadline_ = nullptr;
    }
    deadlineHandler_ = nullptr;
}

bool PulseContext::waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    if (waitsAllowedDepth == 0 && pa_threaded_mainloop_in_thread(loop_) == 0) {
        blockingWaitCount.fetch_add(1, std::memory_order_relaxed);
    }
    struct Deadline {
        PulseContext* self;
        bool passed = false;
    } deadline{this};
    pa_time_event* timer = pa_context_rttime_new(
        context_, fromNow(timeout),
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) {
            auto* d = static_cast<Deadline*>(data);
            d->passed = true;
            d->self->signal();
        },
        &deadline);
    while (!done() && !failed_ && !deadline.passed) {
        pa_threaded_mainloop_wait(loop_);
    }
    if (timer) {
        api()->time_free(timer);
    }
    return done();
}

int PulseContext::blockingWaits() {
    return blockingWaitCount.load(std::memory_order_relaxed);
}

PulseContext::WaitsAllowed::WaitsAllowed() {
    ++waitsAllowedDepth;
}

PulseContext::WaitsAllowed::~WaitsAllowed() {
    --waitsAllowedDepth;
}

std::string PulseContext::lastError() const {
    if (!context_) {
        return "no connection";
    }
    return describe(pa_context_errno(context_));
}

std::string PulseContext::describe(int error) {
    if (error == kNoAnswer) {
        return "the sound server did not answer";
    }
    const char* text = pa_strerror(error);
    return text ? text : "unknown error " + std::to_string(error);
}

std::string propertyText(const pa_proplist* properties, const char* key) {
    if (!properties) {
        return {};
    }
    const char* value = pa_proplist_gets(properties, key);
    return value ? value : "";
}

PulseApplicationIdentity applicationIdentity(const pa_proplist* properties) {
    PulseApplicationIdentity identity;
    const std::string binary = propertyText(properties, PA_PROP_APPLICATION_PROCESS_BINARY);
    identity.bundleIdentifier = propertyText(properties, PA_PROP_APPLICATION_ID);
    if (identity.bundleIdentifier.empty()) {
        identity.bundleIdentifier = binary;
    }
    identity.name = propertyText(properties, PA_PROP_APPLICATION_NAME);
    if (identity.name.empty()) {
        identity.name = binary;
    }
    const std::string pid = propertyText(properties, PA_PROP_APPLICATION_PROCESS_ID);
    if (!pid.empty()) {
        char* end = nullptr;
        const long value = std::strtol(pid.c_str(), &end, 10);
        if (end && *end == '\0' && value > 0 && value <= INT32_MAX) {
            identity.processID = static_cast<std::int32_t>(value);
        }
    }
    return identity;
}

bool isOwnApplication(const pa_proplist* properties) {
    if (propertyText(properties, PA_PROP_APPLICATION_ID) == kOwnBundleIdentifier) {
        return true;
    }
    const auto identity = applicationIdentity(properties);
    return identity.processID != 0 && identity.processID == static_cast<std::int32_t>(::getpid());
}

}  // namespace qv
