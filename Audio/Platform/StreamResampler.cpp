#include "Audio/Platform/StreamResampler.h"

#include <algorithm>
#include <cmath>

#include "Audio/Platform/SincKernel.h"

namespace qv {

StreamResampler::StreamResampler(double sourceRate, double targetRate, int maxOutputFrames)
    : sourceRate_(sourceRate),
      targetRate_(targetRate),
      step_(sourceRate / targetRate),
      maxChunk_(std::max(64, maxOutputFrames)) {
    // Low-pass at the lower of the two Nyquist frequencies, a little below it to keep the
    // transition band out of the audible range; Kaiser window, beta 8.
    const double cutoff = 0.5 * std::min(1.0, targetRate / sourceRate) * 0.95;
    table_ = sinc::windowedSincRows(kTaps, kPhases, cutoff, 8.0);
    const auto capacity = static_cast<std::size_t>(std::ceil(maxChunk_ * step_) + 2 * kTaps + 8);
    for (auto& h : history_) {
        h.assign(capacity, 0.0f);
    }
    // Start with half a filter of silence so the first output sample has its past; the first
    // output lines up with the first source sample.
    filled_ = kTaps / 2 - 1;
    position_ = kTaps / 2 - 1;
}

void StreamResampler::pull(const Source& source, float* left, float* right, int frames) {
    float* out[2] = {left, right};
    int done = 0;
    while (done < frames) {
        const int n = std::min(frames - done, maxChunk_);
        // The last output of this chunk needs source samples up to base + kTaps/2.
        const double lastPosition = position_ + step_ * (n - 1);
        const int needed = static_cast<int>(std::floor(lastPosition)) + kTaps / 2 + 1;
        if (needed > filled_) {
            const int more = needed - filled_;
            source(history_[0].data() + filled_, history_[1].data() + filled_, more);
            filled_ = needed;
        }
        for (int i = 0; i < n; ++i) {
            const double p = position_ + step_ * i;
            const int base = static_cast<int>(std::floor(p));
            const double frac = p - base;
            const double scaled = frac * kPhases;
            const int phase = std::min(static_cast<int>(scaled), kPhases - 1);
            const float mix = static_cast<float>(scaled - phase);
            const float* row0 = table_.data() + phase * kTaps;
            const float* row1 = row0 + kTaps;
            const int first = base - kTaps / 2 + 1;
            sinc::interpolate<kTaps>(row0, row1, mix, history_[0].data() + first,
                                     history_[1].data() + first, out[0][done + i],
                                     out[1][done + i]);
        }
        position_ += step_ * n;
        // Keep only the history the next output still needs.
        const int keepFrom = static_cast<int>(std::floor(position_)) - kTaps / 2 + 1;
        if (keepFrom > 0) {
            for (auto& h : history_) {
                std::copy(h.begin() + keepFrom, h.begin() + filled_, h.begin());
            }
            filled_ -= keepFrom;
            position_ -= keepFrom;
        }
        done += n;
    }
}

}  // namespace qv
