#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "Audio/AudioRingBuffer.h"
#include "Audio/Platform/AdaptiveResampler.h"
#include "Audio/StreamSteadiness.h"

namespace qv {

// The hand-over of one channel to one bus, between two clocks: a capture fills the ring at its
// device's pace, the bus's render thread takes it at its own through an adaptive resampler.
// The resampler's ratio follows the ring's fill level, so no frame is dropped or repeated and
// the delay holds where it settled.
//
// How the delay is measured: the frames in the ring, plus the frames the capture has taken
// since its last delivery (the time since then at the nominal rate), plus what the resampler
// holds. Counting the frames on their way keeps the measure steady whatever the phase between
// the two devices' periods, which drifts slowly when their clocks differ.
//
// What delay it keeps: how much less than on average the ring holds just before a delivery
// (AudioRingBuffer::deliveryShortfall: one delivery for a steady capture, more for a bursty
// one), plus how much more than on average a read takes (0 for a bus that asks for even
// pieces), plus the resampler's lookahead, plus a margin; just before a delivery the ring then
// still holds the margin. It starts silent, watches the deliveries for a tenth of a second, and
// plays once it has that much (and the first request) at hand; anything beyond is dropped once, so
// the delay starts where it is kept. A ring that runs dry makes it silent again until it has
// that much once more; when the capture comes back within a tenth of a second, the margin
// doubles. Should the ring ever hold less than half the margin just before a read (the
// deliveries came less evenly than they had), the delay to keep grows by the shortfall. A reset
// of the ring (a new source) starts everything afresh. A bus that did not ask for a tenth of a
// second, or a ring that overran, starts from the newest frames again.
//
// How the ratio is steered: the delay is smoothed over a quarter of a second. A second after
// the audio starts flowing, a proportional-integral controller turns the offset from the delay
// to keep into a ratio, ignoring offsets within 8 frames, so two clocks that agree run at a
// ratio of exactly 1 (and the audio passes bit for bit) while clocks that drift apart are
// followed within a few seconds and then held. Render thread, except the statistics.
class ClockBridge {
  public:
    // Smoothing of the delay, seconds of output.
    static constexpr double kSmoothing = 0.25;
    // How long the audio flows before its delay is the one to keep, seconds.
    static constexpr double kSettleTime = 1.0;
    // Offsets from the kept delay that are not corrected, frames.
    static constexpr double kDeadband = 8.0;
    // Margin at the start (at least) and at most, frames.
    static constexpr int kFirstMargin = 64;
    static constexpr int kLargestMargin = 4800;
    // The largest correction, relative.
    static constexpr double kLargestCorrection = 0.002;
    // The largest render request, frames.
    static constexpr int kMaxRequest = 4096;

    // `firstMargin`: the margin to start with, frames: kFirstMargin for threads that run on
    // time, more where their scheduling jitters.
    explicit ClockBridge(std::shared_ptr<AudioRingBuffer> ring, double rate = 48000.0,
                         int firstMargin = kFirstMargin);
    ClockBridge(const ClockBridge&) = delete;
    ClockBridge& operator=(const ClockBridge&) = delete;

    // Render thread: `frames` frames (at most kMaxRequest), at `now` seconds on the clock the
    // capture stamps its deliveries with. Returns whether audio flowed; while it does not, both
    // outputs are silence. When nobody listens, the audio moves on just the same but the
    // outputs are left silent, which costs next to nothing.
    bool pull(float* left, float* right, int frames, double now, bool listened = true);

    AudioRingBuffer& ring() const { return *ring_; }

    // Any thread.
    bool isFlowing() const { return flowing_.load(std::memory_order_relaxed); }
    // The smoothed delay, frames, and the ratio in use.
    double delayFrames() const { return delay_.load(std::memory_order_relaxed); }
    double ratio() const { return ratioShown_.load(std::memory_order_relaxed); }
    // The delay being kept, once settled (0 before).
    double settledDelayFrames() const { return settled_.load(std::memory_order_relaxed); }
    // How often the ring ran dry while the audio flowed, and the margin now.
    std::uint64_t dropouts() const { return dropouts_.load(std::memory_order_relaxed); }
    int margin() const { return marginShown_.load(std::memory_order_relaxed); }

  private:
    bool prime(int frames, double now);
    // The delay that keeps the ring from running dry just before a delivery.
    double neededDelay() const;
    void restart();
    void measure(int frames, double now);

    std::shared_ptr<AudioRingBuffer> ring_;
    double rate_;
    AdaptiveResampler resampler_;

    // Render thread.
    int firstMargin_;
    int margin_;
    bool isFlowing_ = false;
    std::uint64_t seenResets_ = 0;
    // The reads against a steady stream: a bus that asks for uneven pieces needs more at hand.
    StreamSteadiness reads_;
    double lastPull_ = 0;
    // Output frames since the ring ran dry, while a dropout may still turn out to be one.
    std::int64_t dryFrames_ = -1;
    double smoothed_ = 0;
    bool hasSmoothed_ = false;
    double flowedSeconds_ = 0;
    bool isSettled_ = false;
    double target_ = 0;
    double integral_ = 0;

    std::atomic<bool> flowing_{false};
    std::atomic<double> delay_{0};
    std::atomic<double> ratioShown_{1.0};
    std::atomic<double> settled_{0};
    std::atomic<std::uint64_t> dropouts_{0};
    std::atomic<int> marginShown_{kFirstMargin};
};

}  // namespace qv
