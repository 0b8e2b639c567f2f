#pragma once

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace qv {

// Flushes denormal numbers to zero (and treats denormal inputs as zero) on this thread while it
// lives, and restores the previous mode afterwards. Every audio callback starts with one, so a
// decaying filter or delay line never falls into the slow denormal range.
class ScopedNoDenormals {
  public:
#if defined(__SSE__) || defined(__x86_64__)
    ScopedNoDenormals() : saved_(_mm_getcsr()) {
        _mm_setcsr(saved_ | kFlushToZero | kDenormalsAreZero);
    }
    ~ScopedNoDenormals() {
        _mm_setcsr(saved_);
    }
#else
    ScopedNoDenormals() = default;
#endif
    ScopedNoDenormals(const ScopedNoDenormals&) = delete;
    ScopedNoDenormals& operator=(const ScopedNoDenormals&) = delete;

  private:
#if defined(__SSE__) || defined(__x86_64__)
    static constexpr unsigned kFlushToZero = 0x8000;
    static constexpr unsigned kDenormalsAreZero = 0x0040;
    unsigned saved_;
#endif
};

}  // namespace qv
