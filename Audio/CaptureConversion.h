#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>
#include <vector>

#include "Audio/Platform/SampleRateConverter.h"

namespace qv {

// Brings captured audio to what the hand-overs take, 48 kHz stereo, on the capture thread and
// with buffers made beforehand: planar input at any rate and channel count, taken in chunks
// of up to kChunk frames. Mono is spread to both sides; channels beyond the second are left
// out. A rate within 1 Hz of 48 kHz passes unconverted.
class CaptureConversion {
  public:
    static constexpr std::uint32_t kChunk = 1024;
    using Sink = void (*)(void* context, const float* left, const float* right,
                          std::int64_t frames);

    // Main thread. `converter` streams `rate` → 48 kHz with `channels` channels; it is used
    // only when the rate needs it.
    CaptureConversion(double rate, std::uint32_t channels,
                      std::shared_ptr<SampleRateConverter> converter);

    double rate() const { return rate_; }
    std::uint32_t channels() const { return channels_; }

    // Capture thread: `frames` frames of `channels()` planes, handed on to `sink` as they come
    // out (a converter holds some back at first, then releases them in bursts).
    template <class Fn>
    void process(const float* const* planes, std::int64_t frames, Fn&& sink) {
        processInto(planes, frames, &sink,
                    [](void* context, const float* l, const float* r, std::int64_t n) {
                        (*static_cast<std::remove_reference_t<Fn>*>(context))(l, r, n);
                    });
    }

  private:
    void processInto(const float* const* planes, std::int64_t frames, void* context, Sink sink);

    double rate_;
    std::uint32_t channels_;
    std::shared_ptr<SampleRateConverter> converter_;
    bool resamples_;
    std::uint32_t capacity_ = 0;
    std::vector<float> storage_;
    std::vector<float*> outputs_;
    std::vector<const float*> inputs_;
};

}  // namespace qv
