#pragma once

#include <algorithm>
#include <cmath>
#include <limits>

namespace qv {

// How unevenly a stream of frames comes in pieces, against a steady stream at its nominal rate.
// Fed each piece with its time, it follows the stream's lead over the steady one with a
// second-order tracking loop (about 0.2 Hz wide, so a clock that runs slightly fast or slow is
// followed without lag, while the pattern of the pieces is not), and tells, over the last five
// to ten seconds, how far the stream fell behind the tracked lead just before a piece
// (`shortfall`: for W frames every W frames' time, W) and how far it ran ahead of it just after
// one (`excess`: 0 for such a stream). Pieces further apart than a tenth of a second start
// afresh. One thread; never allocates.
class StreamSteadiness {
  public:
    explicit StreamSteadiness(double rate) : rate_(rate) {}

    // Returns false when the piece started a fresh timeline.
    bool note(double time, double frames) {
        constexpr double kWindow = 5.0;
        constexpr double kPause = 0.1;
        constexpr double kBandwidth = 2 * M_PI * 0.2;  // rad/s
        const double interval = time - last_;
        last_ = time;
        if (!(interval >= 0 && interval <= kPause)) {
            since_ = windowStart_ = time;
            frames_ = frames;
            lead_ = frames;
            drift_ = 0;
            shortfall_[0] = shortfall_[1] = excess_[0] = excess_[1] = 0;
            pieces_ = 1;
            return false;
        }
        if (time - windowStart_ >= kWindow) {
            shortfall_[0] = shortfall_[1];
            excess_[0] = excess_[1];
            shortfall_[1] = excess_[1] = 0;
            windowStart_ = time;
        }
        const double steady = (time - since_) * rate_;
        const double before = frames_ - steady;
        frames_ += frames;
        const double after = frames_ - steady;
        // The lead expected now, then corrected by what came.
        lead_ += drift_ * interval;
        shortfall_[1] = std::max(shortfall_[1], lead_ - before);
        excess_[1] = std::max(excess_[1], after - lead_);
        const double error = after - lead_;
        const double w = kBandwidth * interval;
        lead_ += std::min(1.0, std::sqrt(2.0) * w) * error;
        if (interval > 0) {
            drift_ += w * w * error / interval;
        }
        ++pieces_;
        return true;
    }
    void reset() { last_ = std::numeric_limits<double>::quiet_NaN(); }

    double shortfall() const { return std::max(shortfall_[0], shortfall_[1]); }
    double excess() const { return std::max(excess_[0], excess_[1]); }
    // When the current timeline began (NaN before any piece), and its pieces so far.
    double since() const { return since_; }
    long pieces() const { return pieces_; }

  private:
    double rate_;
    double last_ = std::numeric_limits<double>::quiet_NaN();
    double since_ = std::numeric_limits<double>::quiet_NaN();
    double windowStart_ = 0;
    double frames_ = 0;
    double lead_ = 0;   // tracked lead over the steady stream, frames
    double drift_ = 0;  // its change, frames per second
    double shortfall_[2] = {0, 0};
    double excess_[2] = {0, 0};
    long pieces_ = 0;
};

}  // namespace qv
