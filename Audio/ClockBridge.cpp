#include "Audio/ClockBridge.h"

#include <algorithm>
#include <cmath>

namespace qv {
namespace {

// Proportional and integral gains of the ratio controller, per frame of offset and per frame
// second: a loop of about 1 rad/s, damped 0.9, settles in about four seconds.
constexpr double kNaturalFrequency = 1.0;
constexpr double kDamping = 0.9;
// Longer than this since the last delivery, and the capture is not keeping pace: no measure.
constexpr double kStaleDelivery = 0.1;
// How long deliveries are watched before the delay they need is taken, seconds.
constexpr double kObserve = 0.1;
// A capture that comes back within this after the ring ran dry was late, not paused.
constexpr double kLateCapture = 0.1;
// Longer than this between two pulls, and the bus did not render (it stopped, or its device
// was away): what piled up meanwhile is dropped.
constexpr double kRenderGap = 0.1;

}  // namespace

ClockBridge::ClockBridge(std::shared_ptr<AudioRingBuffer> ring, double rate, int firstMargin)
    : ring_(std::move(ring)),
      rate_(rate),
      resampler_(kMaxRequest),
      firstMargin_(std::clamp(firstMargin, kFirstMargin, kLargestMargin)),
      margin_(firstMargin_),
      reads_(rate) {
    marginShown_.store(margin_, std::memory_order_relaxed);
}

void ClockBridge::restart() {
    margin_ = firstMargin_;
    integral_ = 0;
    dryFrames_ = -1;
    isFlowing_ = false;
    marginShown_.store(margin_, std::memory_order_relaxed);
}

double ClockBridge::neededDelay() const {
    // Just before a delivery the ring holds the least, and a large read takes the most.
    return ring_->deliveryShortfall() + reads_.excess() + AdaptiveResampler::kLookahead + margin_;
}

bool ClockBridge::prime(int frames, double now) {
    ring_->skip(0);  // carries out a reset asked for
    if (ring_->resets() != seenResets_) {
        seenResets_ = ring_->resets();
        restart();
    }
    const std::int64_t available = ring_->availableFrames();
    if (dryFrames_ >= 0) {
        if (available > 0) {
            // The capture came back: late (a dropout) or after a pause (not one).
            if (dryFrames_ < static_cast<std::int64_t>(kLateCapture * rate_)) {
                margin_ = std::min(margin_ * 2, kLargestMargin);
                marginShown_.store(margin_, std::memory_order_relaxed);
            }
            dryFrames_ = -1;
        } else {
            dryFrames_ += frames;
        }
    }
    // A few deliveries tell how far apart they come.
    const auto fill = ring_->fill();
    if (!fill || !(ring_->deliveryShortfall() > 0) ||
        !(now - ring_->deliveringSince() >= kObserve)) {
        return false;
    }
    const double since = std::clamp(now - fill->deliveredAt, 0.0, kStaleDelivery);
    const double have = static_cast<double>(fill->frames) + since * rate_;
    const double wanted = neededDelay() + frames;
    const std::int64_t firstRead = frames + AdaptiveResampler::kLookahead + 1;
    if (have < wanted || fill->frames < firstRead) {
        return false;
    }
    // Whatever is beyond the delay wanted is dropped, so the delay starts where it is kept.
    const auto excess = static_cast<std::int64_t>(std::floor(have - wanted));
    ring_->skip(std::min(excess, fill->frames - firstRead));
    resampler_.reset();
    resampler_.setRatio(1.0 + integral_);
    reads_.reset();
    target_ = neededDelay();
    isFlowing_ = true;
    hasSmoothed_ = false;
    flowedSeconds_ = 0;
    isSettled_ = false;
    return true;
}

bool ClockBridge::pull(float* left, float* right, int frames, double now, bool listened) {
    frames = std::clamp(frames, 0, kMaxRequest);
    if (isFlowing_ &&
        (now - lastPull_ > kRenderGap || ring_->availableFrames() >= AudioRingBuffer::kCapacity)) {
        // A backlog that would hold the delay far above its target: start again from the
        // newest frames, with the ratio learnt so far.
        isFlowing_ = false;
    }
    lastPull_ = now;
    if (!isFlowing_ && !prime(frames, now)) {
        std::fill(left, left + frames, 0.0f);
        std::fill(right, right + frames, 0.0f);
        flowing_.store(false, std::memory_order_relaxed);
        return false;
    }
    const int needed = resampler_.inputNeeded(frames);
    const std::int64_t slack = ring_->availableFrames() - needed;
    reads_.note(now, needed);
    const std::int64_t got = ring_->read(resampler_.inputLeft(), resampler_.inputRight(), needed);
    if (ring_->resets() != seenResets_) {
        // A new source: nothing of the old one plays on.
        seenResets_ = ring_->resets();
        restart();
        std::fill(left, left + frames, 0.0f);
        std::fill(right, right + frames, 0.0f);
        flowing_.store(false, std::memory_order_relaxed);
        return false;
    }
    resampler_.commitInput(needed);
    if (listened) {
        resampler_.pull(left, right, frames);
    } else {
        resampler_.discard(frames);
        std::fill(left, left + frames, 0.0f);
        std::fill(right, right + frames, 0.0f);
    }
    if (got < needed) {
        // Ran dry: what came plays out, then silence until the ring is primed again. The ratio
        // learnt so far stays.
        dropouts_.fetch_add(1, std::memory_order_relaxed);
        isFlowing_ = false;
        dryFrames_ = 0;
        flowing_.store(false, std::memory_order_relaxed);
        return true;
    }
    flowing_.store(true, std::memory_order_relaxed);
    measure(frames, now);
    if (isSettled_ && slack < margin_ / 2) {
        // The deliveries came less evenly than they had: keep more, before the ring runs dry.
        target_ = std::max(target_, smoothed_ + static_cast<double>(margin_ / 2 - slack));
    }
    return true;
}

void ClockBridge::measure(int frames, double now) {
    const auto fill = ring_->fill();
    if (!fill || std::isnan(now)) {
        return;
    }
    const double since = now - fill->deliveredAt;
    if (since < -kStaleDelivery || since > kStaleDelivery) {
        return;
    }
    const double delay =
        static_cast<double>(fill->frames) + std::max(0.0, since) * rate_ + resampler_.heldFrames();
    const double dt = frames / rate_;
    if (!hasSmoothed_) {
        smoothed_ = delay;
        hasSmoothed_ = true;
    } else {
        smoothed_ += (1.0 - std::exp(-dt / kSmoothing)) * (delay - smoothed_);
    }
    delay_.store(smoothed_, std::memory_order_relaxed);
    flowedSeconds_ += dt;
    if (!isSettled_) {
        if (flowedSeconds_ < kSettleTime) {
            return;
        }
        isSettled_ = true;
    }
    // Burstier deliveries need a longer delay; a calmer source keeps the one it has.
    target_ = std::max(target_, neededDelay());
    settled_.store(target_, std::memory_order_relaxed);
    const double offset = smoothed_ - target_;
    const double beyond =
        std::fabs(offset) <= kDeadband ? 0.0 : offset - std::copysign(kDeadband, offset);
    const double kp = 2.0 * kDamping * kNaturalFrequency / rate_;
    const double ki = kNaturalFrequency * kNaturalFrequency / rate_;
    integral_ = std::clamp(integral_ + ki * beyond * dt, -kLargestCorrection, kLargestCorrection);
    const double correction =
        std::clamp(kp * beyond + integral_, -kLargestCorrection, kLargestCorrection);
    resampler_.setRatio(1.0 + correction);
    ratioShown_.store(1.0 + correction, std::memory_order_relaxed);
}

}  // namespace qv
