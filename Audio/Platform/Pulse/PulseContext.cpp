#include "Audio/Platform/Pulse/PulseContext.h"

#include <unistd.h>

#include <cstdlib>

#include "Audio/Platform/CaptureService.h"

namespace qv {

std::unique_ptr<PulseContext> PulseContext::connect(const std::string& role,
                                                    std::chrono::milliseconds timeout,
                                                    std::string* error) {
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
    if (pa_context_connect(c->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return fail(c->lastError());
    }
    if (pa_threaded_mainloop_start(c->loop_) < 0) {
        return fail("cannot start the sound server event loop");
    }
    Lock lock(*c);
    c->waitFor([&] { return c->isReady(); }, timeout);
    if (!c->isReady()) {
        const std::string reason = c->failed_ ? c->lastError() : "the sound server did not answer";
        return fail(reason);
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

void PulseContext::onState(pa_context* context, void* self) {
    auto* c = static_cast<PulseContext*>(self);
    switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY:
            c->signal();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            if (!c->failed_) {
                c->failed_ = true;
                if (c->failureHandler_) {
                    c->failureHandler_();
                }
            }
            c->signal();
            break;
        default:
            break;
    }
}

bool PulseContext::wait(pa_operation* operation) {
    if (!operation) {
        return false;
    }
    while (!failed_ && pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
        pa_threaded_mainloop_wait(loop_);
    }
    const bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
    pa_operation_unref(operation);
    return done;
}

bool PulseContext::waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    struct Deadline {
        PulseContext* self;
        bool passed = false;
    } deadline{this};
    const pa_usec_t when =
        pa_rtclock_now() + static_cast<pa_usec_t>(timeout.count()) * PA_USEC_PER_MSEC;
    pa_time_event* timer = pa_context_rttime_new(
        context_, when,
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

std::string PulseContext::lastError() const {
    if (!context_) {
        return "no connection";
    }
    return pa_strerror(pa_context_errno(context_));
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
