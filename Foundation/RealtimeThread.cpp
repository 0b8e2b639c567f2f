#include "Foundation/RealtimeThread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "Foundation/Log.h"

namespace qv {
namespace {

// The first request's outcome. Whichever thread asks first claims the record, fills it in and
// publishes it; the main side reads it once published. Only atomics: no lock, no allocation.
struct Record {
    std::atomic<int> state{0};  // 0 empty, 1 being filled in, 2 published
    bool isGranted = false;
    int priority = 0;
    long limit = 0;
    int error = 0;
};
Record first;
std::atomic<bool> isLogged{false};

void keep(bool isGranted, int priority, long limit, int error) {
    int expected = 0;
    if (!first.state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
        return;
    }
    first.isGranted = isGranted;
    first.priority = priority;
    first.limit = limit;
    first.error = error;
    first.state.store(2, std::memory_order_release);
}

// RLIMIT_RTPRIO's soft limit, raised towards the priority we want as far as the hard limit lets
// it; -1 for no limit.
long raisedSoftLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_RTPRIO, &limit) != 0) {
        return 0;
    }
    const auto wanted = static_cast<rlim_t>(kAudioThreadPriority);
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted &&
        (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > limit.rlim_cur)) {
        rlimit raised = limit;
        raised.rlim_cur =
            limit.rlim_max == RLIM_INFINITY ? wanted : std::min(limit.rlim_max, wanted);
        if (::setrlimit(RLIMIT_RTPRIO, &raised) == 0) {
            limit = raised;
        }
    }
    return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(limit.rlim_cur);
}

bool promote(pthread_t thread, const char* what) {
    if (what) {
        char name[16] = {};
        std::strncpy(name, what, sizeof name - 1);
        ::pthread_setname_np(thread, name);
    }
    const long limit = raisedSoftLimit();
    int priority = kAudioThreadPriority;
    if (limit >= 1 && limit < priority) {
        priority = static_cast<int>(limit);
    }
    priority = std::clamp(priority, ::sched_get_priority_min(SCHED_FIFO),
                          ::sched_get_priority_max(SCHED_FIFO));
    sched_param parameters{};
    parameters.sched_priority = priority;
    const int error =
        ::pthread_setschedparam(thread, SCHED_FIFO | SCHED_RESET_ON_FORK, &parameters);
    keep(error == 0, priority, limit, error);
    return error == 0;
}

}  // namespace

bool promoteToRealtime(const char* what) {
    return promote(::pthread_self(), what);
}

bool promoteToRealtime(std::thread& thread, const char* what) {
    return thread.joinable() && promote(thread.native_handle(), what);
}

std::optional<RealtimeOutcome> realtimeOutcome() {
    if (first.state.load(std::memory_order_acquire) != 2) {
        return std::nullopt;
    }
    RealtimeOutcome outcome;
    outcome.isGranted = first.isGranted;
    outcome.priority = first.priority;
    outcome.limit = first.limit;
    outcome.error = first.error;
    if (outcome.isGranted) {
        outcome.description = "✅ Real-time scheduling for audio threads";
    } else {
        const std::string limit = outcome.limit < 0 ? "unlimited" : std::to_string(outcome.limit);
        outcome.description = "⚠️ Real-time scheduling not granted (" +
                              std::string(std::strerror(outcome.error)) + "; RLIMIT_RTPRIO " +
                              limit + ", priority " + std::to_string(outcome.priority) +
                              " asked) - audio threads run at normal priority";
    }
    return outcome;
}

void logRealtimeOutcome() {
    if (isLogged.load(std::memory_order_relaxed)) {
        return;
    }
    const auto outcome = realtimeOutcome();
    if (!outcome || isLogged.exchange(true)) {
        return;
    }
    Log::line(outcome->description);
}

}  // namespace qv
