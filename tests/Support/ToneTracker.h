#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qv::testing {

// Follows one sine of known frequency through a stream of samples fed in pieces, as a
// listener would: the largest sine-predictor residual (what is left of each sample once the
// two before it have predicted it: a dropped, repeated or stepped sample stands out, the sine
// itself does not), and, every `every` samples, the tone's amplitude and its delay (phase
// against the ideal sine, unwrapped, in samples). Everything before `skip` samples is ignored.
class ToneTracker {
  public:
    struct Block {
        std::int64_t at;   // first sample
        double amplitude;  // peak
        double delay;      // samples, relative to the first block's
    };

    ToneTracker(double cyclesPerSample, std::int64_t skip, std::int64_t every = 4800)
        : omega_(2 * M_PI * cyclesPerSample),
          twoCos_(2 * std::cos(omega_)),
          skip_(skip),
          every_(every) {}

    void feed(const float* x, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i, ++n_) {
            const double sample = x[i];
            if (n_ >= skip_ + 2) {
                const double r = std::fabs(sample - twoCos_ * x1_ + x2_);
                if (r > residual_) {
                    residual_ = r;
                    residualAt_ = n_;
                }
                largestStep_ = std::max(largestStep_, std::fabs(sample - x1_));
            }
            x2_ = x1_;
            x1_ = sample;
            if (n_ >= skip_ && (n_ - skip_) % every_ < kBlock) {
                const double phase = omega_ * static_cast<double>(n_);
                re_ += sample * std::sin(phase);
                im_ += sample * std::cos(phase);
                if ((n_ - skip_) % every_ == kBlock - 1) {
                    closeBlock();
                }
            }
        }
    }

    double largestResidual() const { return residual_; }
    // Where it was, samples from the start.
    std::int64_t largestResidualAt() const { return residualAt_; }
    double largestStep() const { return largestStep_; }
    const std::vector<Block>& blocks() const { return blocks_; }

    // The delay's range over the blocks from `from` samples on.
    std::pair<double, double> delayRange(std::int64_t from) const {
        double low = 1e300, high = -1e300;
        for (const auto& b : blocks_) {
            if (b.at >= from) {
                low = std::min(low, b.delay);
                high = std::max(high, b.delay);
            }
        }
        return {low, high};
    }
    double lowestAmplitude(std::int64_t from) const {
        double low = 1e300;
        for (const auto& b : blocks_) {
            if (b.at >= from) {
                low = std::min(low, b.amplitude);
            }
        }
        return low;
    }

  private:
    static constexpr std::int64_t kBlock = 960;  // whole cycles do not matter at this length

    void closeBlock() {
        // x ≈ A·sin(ωn − ψ): re ∝ A·cos ψ, im ∝ −A·sin ψ.
        const double amplitude = 2.0 * std::hypot(re_, im_) / kBlock;
        double psi = std::atan2(-im_, re_);
        if (!blocks_.empty()) {
            psi += 2 * M_PI * std::round((lastPsi_ - psi) / (2 * M_PI));
        }
        lastPsi_ = psi;
        if (blocks_.empty()) {
            firstPsi_ = psi;
        }
        blocks_.push_back({n_ + 1 - kBlock, amplitude, (psi - firstPsi_) / omega_});
        re_ = im_ = 0;
    }

    double omega_;
    double twoCos_;
    std::int64_t skip_;
    std::int64_t every_;
    std::int64_t n_ = 0;
    double x1_ = 0, x2_ = 0;
    double residual_ = 0;
    std::int64_t residualAt_ = -1;
    double largestStep_ = 0;
    double re_ = 0, im_ = 0;
    double lastPsi_ = 0, firstPsi_ = 0;
    std::vector<Block> blocks_;
};

}  // namespace qv::testing
