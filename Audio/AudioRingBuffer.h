#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>

#include "Audio/StreamSteadiness.h"

namespace qv {

// The stereo hand-over between one capture thread (the writer) and one bus render thread (the
// reader): 16384 frames per channel, allocated once, no lock on either side.
//
// A write never refuses data. When the reader falls a whole capacity behind, the oldest frames
// are overwritten and the reader carries on from the newest 16384 frames, in order; the frames
// it skipped are counted as an overrun. A read takes what is there and fills the rest with
// silence, counted as an underrun. Full and empty are told apart.
//
// How a read stays whole while the writer laps it: the writer announces how far it is about to
// write before it writes, and the reader, after copying, checks that announcement; frames the
// writer may have overwritten meanwhile are dropped and read again from the newest. The samples
// themselves are atomics, so neither side ever reads a half-written value.
class AudioRingBuffer {
  public:
    static constexpr std::int64_t kCapacity = 16384;

    // `rate`: the nominal rate of the frames, for the delivery statistics.
    explicit AudioRingBuffer(double rate = 48000.0);

    // Writer thread. `time` is when the capture delivered these frames, seconds on the audio
    // clock the reader also uses (NaN when unknown).
    void write(const float* left, const float* right, std::int64_t count,
               double time = std::numeric_limits<double>::quiet_NaN());
    // Reader thread. Returns the frames that came from the buffer; the rest of both
    // destinations is zeroed.
    std::int64_t read(float* left, float* right, std::int64_t count);
    // Reader thread: drops up to `count` frames unread; returns how many.
    std::int64_t skip(std::int64_t count);
    // Any thread: the reader drops everything written so far at its next read.
    void reset();
    // Reader thread: how many resets the reader has carried out.
    std::uint64_t resets() const { return resets_; }

    // Reader thread: the frames waiting and when the newest of them were delivered, read
    // together; nothing while a write is under way or before the first timed write.
    struct Fill {
        std::int64_t frames;
        double deliveredAt;
    };
    std::optional<Fill> fill();

    // Frames waiting to be read (reader thread; an estimate on other threads).
    std::int64_t availableFrames() const;
    // The largest single write, frames, over the last one to two seconds of writes (any
    // thread).
    std::int64_t largestWrite() const { return largestWrite_.load(std::memory_order_relaxed); }
    // How much less than on average the ring holds, at worst, just before a timed write, frames
    // at the nominal rate, over the last one to two seconds (any thread): for a capture that
    // delivers W frames every W frames' time it is W; bursty deliveries make it more. 0 until
    // two timed writes came. Writes further apart than a tenth of a second start afresh: the
    // capture paused.
    double deliveryShortfall() const { return shortfall_.load(std::memory_order_relaxed); }
    // When the timed writes began, after the last pause (NaN before any).
    double deliveringSince() const { return deliveringSince_.load(std::memory_order_relaxed); }
    // Frames the reader lost to overruns, and frames it filled with silence (any thread).
    std::uint64_t overrunFrames() const { return overrun_.load(std::memory_order_relaxed); }
    std::uint64_t underrunFrames() const { return underrun_.load(std::memory_order_relaxed); }

  private:
    static_assert(std::atomic<float>::is_always_lock_free);
    static_assert(std::atomic<std::int64_t>::is_always_lock_free);
    static constexpr std::int64_t kMask = kCapacity - 1;

    std::unique_ptr<std::atomic<float>[]> left_;
    std::unique_ptr<std::atomic<float>[]> right_;
    // Frames written since creation: `claimed_` moves before the samples are written,
    // `written_` after.
    std::atomic<std::int64_t> claimed_{0};
    std::atomic<std::int64_t> written_{0};
    // Reader thread's position (frames read or skipped since creation).
    std::atomic<std::int64_t> read_{0};
    double rate_;
    std::atomic<double> writeTime_{std::numeric_limits<double>::quiet_NaN()};
    std::atomic<bool> resetRequested_{false};
    std::uint64_t resets_ = 0;  // reader thread
    std::atomic<std::int64_t> largestWrite_{0};
    std::atomic<double> shortfall_{0.0};
    std::atomic<double> deliveringSince_{std::numeric_limits<double>::quiet_NaN()};
    // Writer thread: the timed writes against a steady stream, and the largest writes over the
    // two windows it uses.
    StreamSteadiness deliveries_;
    double writeWindowStart_ = 0;
    std::int64_t largestWrites_[2] = {0, 0};
    void noteWrite(std::int64_t count, double time);
    // Reader thread: carries out a requested reset and moves `position` past frames that were
    // overwritten; returns the frames written so far.
    std::int64_t catchUp(std::int64_t& position);
    std::atomic<std::uint64_t> overrun_{0};
    std::atomic<std::uint64_t> underrun_{0};
};

}  // namespace qv
