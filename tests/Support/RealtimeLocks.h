#pragma once

// Counts every pthread_mutex_lock call made inside a RealtimeScope (a render or capture cycle,
// an event sent from an audio thread). Include it in exactly one file of a test program: it
// replaces the program's pthread_mutex_lock with one that counts and then calls the C
// library's. Calls the C library makes inside itself are not seen; every lock our code takes
// (std::mutex, the main queue's, the log's) is.

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>

#include "Foundation/RealtimeScope.h"

namespace qv::testing {

struct RealtimeLocks {
    static inline std::atomic<long> locks{0};

    static void reset() { locks = 0; }
};

namespace detail {
using MutexLock = int (*)(pthread_mutex_t*);
// Looked up on the first call; never through a function-local static, whose guard may lock.
inline std::atomic<MutexLock> nextMutexLock{nullptr};
}  // namespace detail

}  // namespace qv::testing

extern "C" int pthread_mutex_lock(pthread_mutex_t* mutex) noexcept {
    using qv::testing::detail::MutexLock;
    MutexLock next = qv::testing::detail::nextMutexLock.load(std::memory_order_acquire);
    if (!next) {
        next = reinterpret_cast<MutexLock>(::dlsym(RTLD_NEXT, "pthread_mutex_lock"));
        qv::testing::detail::nextMutexLock.store(next, std::memory_order_release);
    }
    if (qv::RealtimeScope::isActive()) {
        qv::testing::RealtimeLocks::locks.fetch_add(1, std::memory_order_relaxed);
    }
    return next(mutex);
}
