#include "Audio/Platform/AdaptiveResampler.h"

#include <algorithm>
#include <cmath>

#include "Audio/Platform/SincKernel.h"

namespace qv {
namespace {

constexpr double kLargestRatioOffset = 0.02;

// The filter's rows, one per fraction of a sample from 0 to 1 in kPhases steps. The two clocks
// are within a fraction of a percent of each other, so the band edge is the Nyquist frequency
// itself: the sinc's zeros then fall on whole samples, and the rows of fractions 0 and 1 are a
// single 1 (a plain copy).
const std::vector<float>& filterTable() {
    static const std::vector<float> table = [] {
        constexpr int kTaps = AdaptiveResampler::kTaps;
        constexpr int kPhases = AdaptiveResampler::kPhases;
        auto rows = sinc::windowedSincRows(kTaps, kPhases, 0.5, 12.0);
        // Whole samples: tap kTaps/2 - 1 sits on the base sample, or on the next one.
        for (int phase : {0, kPhases}) {
            float* row = rows.data() + phase * kTaps;
            std::fill(row, row + kTaps, 0.0f);
            row[kTaps / 2 - 1 + (phase ? 1 : 0)] = 1.0f;
        }
        return rows;
    }();
    return table;
}

}  // namespace

AdaptiveResampler::AdaptiveResampler(int maxOutputFrames)
    : table_(filterTable().data()), maxChunk_(std::max(64, maxOutputFrames)) {
    const auto capacity =
        static_cast<std::size_t>(std::ceil(maxChunk_ * (1 + kLargestRatioOffset)) + 2 * kTaps + 16);
    for (auto& h : history_) {
        h.assign(capacity, 0.0f);
    }
    reset();
}

void AdaptiveResampler::reset() {
    for (auto& h : history_) {
        std::fill(h.begin(), h.end(), 0.0f);
    }
    // Half a filter of silence gives the first output its past; it lines up with the first
    // input frame.
    filled_ = kTaps / 2 - 1;
    position_ = kTaps / 2 - 1;
    ratio_ = 1.0;
}

void AdaptiveResampler::setRatio(double ratio) {
    ratio_ = std::clamp(ratio, 1 - kLargestRatioOffset, 1 + kLargestRatioOffset);
}

int AdaptiveResampler::inputNeeded(int frames) const {
    if (frames <= 0) {
        return 0;
    }
    // The last output needs input up to its base sample plus the lookahead.
    const double last = position_ + ratio_ * (frames - 1);
    const int needed = static_cast<int>(std::floor(last)) + kLookahead + 1;
    return std::max(0, needed - filled_);
}

void AdaptiveResampler::pull(float* left, float* right, int frames) {
    float* out[2] = {left, right};
    int done = 0;
    while (done < frames) {
        const int n = std::min(frames - done, maxChunk_);
        const bool whole = ratio_ == 1.0 && position_ == std::floor(position_);
        if (whole) {
            const auto base = static_cast<std::size_t>(position_);
            for (int c = 0; c < 2; ++c) {
                std::copy_n(history_[c].data() + base, n, out[c] + done);
            }
        } else {
            for (int i = 0; i < n; ++i) {
                const double p = position_ + ratio_ * i;
                const int base = static_cast<int>(std::floor(p));
                const double scaled = (p - base) * kPhases;
                const int phase = std::min(static_cast<int>(scaled), kPhases - 1);
                const float mix = static_cast<float>(scaled - phase);
                const float* row0 = table_ + phase * kTaps;
                const float* row1 = row0 + kTaps;
                const int first = base - kTaps / 2 + 1;
                sinc::interpolate<kTaps>(row0, row1, mix, history_[0].data() + first,
                                         history_[1].data() + first, out[0][done + i],
                                         out[1][done + i]);
            }
        }
        advance(n);
        done += n;
    }
}

void AdaptiveResampler::discard(int frames) {
    if (frames > 0) {
        advance(frames);
    }
}

void AdaptiveResampler::advance(int frames) {
    position_ += ratio_ * frames;
    // Keep only the history the next output still needs.
    const int keepFrom = static_cast<int>(std::floor(position_)) - kTaps / 2 + 1;
    if (keepFrom > 0) {
        for (auto& h : history_) {
            std::copy(h.begin() + keepFrom, h.begin() + filled_, h.begin());
        }
        filled_ -= keepFrom;
        position_ -= keepFrom;
    }
}

}  // namespace qv
