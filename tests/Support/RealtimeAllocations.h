#pragma once

// Counts every allocation and every release made inside a RealtimeScope (a render cycle or a
// driver cycle). Include it in exactly one file of a test program: it replaces the program's
// operator new and delete.

#include <atomic>
#include <cstdlib>
#include <new>

#include "Foundation/RealtimeScope.h"

namespace qv::testing {

struct RealtimeAllocations {
    static inline std::atomic<long> allocations{0};
    static inline std::atomic<long> releases{0};

    static void reset() {
        allocations = 0;
        releases = 0;
    }
    static void noteAllocation() {
        if (RealtimeScope::isActive()) {
            allocations.fetch_add(1, std::memory_order_relaxed);
        }
    }
    // Kept out of line: once inlined into operator delete, the compiler would pair the free
    // below with operator new and call it mismatched.
    [[gnu::noinline]] static void release(void* p) noexcept {
        if (p && RealtimeScope::isActive()) {
            releases.fetch_add(1, std::memory_order_relaxed);
        }
        std::free(p);
    }
};

}  // namespace qv::testing

void* operator new(std::size_t size) {
    qv::testing::RealtimeAllocations::noteAllocation();
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    qv::testing::RealtimeAllocations::noteAllocation();
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept {
    qv::testing::RealtimeAllocations::release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    qv::testing::RealtimeAllocations::release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    qv::testing::RealtimeAllocations::release(p);
}
