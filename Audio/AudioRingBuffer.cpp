#include "Audio/AudioRingBuffer.h"

#include <algorithm>
#include <cmath>

namespace qv {

AudioRingBuffer::AudioRingBuffer(double rate)
    : left_(new std::atomic<float>[kCapacity]),
      right_(new std::atomic<float>[kCapacity]),
      rate_(rate),
      deliveries_(rate) {
    for (std::int64_t i = 0; i < kCapacity; ++i) {
        left_[i].store(0.0f, std::memory_order_relaxed);
        right_[i].store(0.0f, std::memory_order_relaxed);
    }
}

void AudioRingBuffer::write(const float* left, const float* right, std::int64_t count,
                            double time) {
    if (count <= 0) {
        return;
    }
    noteWrite(count, time);
    // More than a capacity at once: only the newest frames can be kept.
    const std::int64_t skip = std::max<std::int64_t>(0, count - kCapacity);
    const std::int64_t start = written_.load(std::memory_order_relaxed) + skip;
    const std::int64_t end = written_.load(std::memory_order_relaxed) + count;
    claimed_.store(end, std::memory_order_relaxed);
    // Release on every sample: a reader that sees one of these samples also sees the claim
    // above (on x86 these are plain stores).
    for (std::int64_t f = start; f < end; ++f) {
        const std::int64_t i = f - start + skip;
        left_[f & kMask].store(left[i], std::memory_order_release);
        right_[f & kMask].store(right[i], std::memory_order_release);
    }
    writeTime_.store(time, std::memory_order_release);
    written_.store(end, std::memory_order_release);
}

void AudioRingBuffer::noteWrite(std::int64_t count, double time) {
    if (std::isnan(time)) {
        // Untimed: the largest ever.
        largestWrite_.store(std::max(largestWrite_.load(std::memory_order_relaxed), count),
                            std::memory_order_relaxed);
        return;
    }
    if (!deliveries_.note(time, static_cast<double>(count))) {
        writeWindowStart_ = time;
        largestWrites_[0] = largestWrites_[1] = 0;
        deliveringSince_.store(time, std::memory_order_relaxed);
    } else if (time - writeWindowStart_ >= 1.0) {
        largestWrites_[0] = largestWrites_[1];
        largestWrites_[1] = 0;
        writeWindowStart_ = time;
    }
    largestWrites_[1] = std::max(largestWrites_[1], count);
    largestWrite_.store(std::max(largestWrites_[0], largestWrites_[1]), std::memory_order_relaxed);
    shortfall_.store(deliveries_.shortfall(), std::memory_order_relaxed);
}

std::int64_t AudioRingBuffer::catchUp(std::int64_t& position) {
    const std::int64_t written = written_.load(std::memory_order_acquire);
    if (resetRequested_.exchange(false, std::memory_order_acq_rel)) {
        position = written;
        ++resets_;
    }
    if (written - position > kCapacity) {
        overrun_.fetch_add(static_cast<std::uint64_t>(written - kCapacity - position),
                           std::memory_order_relaxed);
        position = written - kCapacity;
    }
    return written;
}

std::int64_t AudioRingBuffer::read(float* left, float* right, std::int64_t count) {
    count = std::max<std::int64_t>(count, 0);
    std::int64_t position = read_.load(std::memory_order_relaxed);
    std::int64_t got = 0;
    // A writer that laps the reader during the copy makes it start again from the newest
    // frames; two tries are plenty, a third gives up with silence.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const std::int64_t written = catchUp(position);
        got = std::min(count, written - position);
        for (std::int64_t i = 0; i < got; ++i) {
            left[i] = left_[(position + i) & kMask].load(std::memory_order_acquire);
            right[i] = right_[(position + i) & kMask].load(std::memory_order_acquire);
        }
        // Ordered after the acquiring loads: a sample from a later write means its claim shows.
        const std::int64_t claimed = claimed_.load(std::memory_order_relaxed);
        if (claimed - position <= kCapacity) {
            break;  // nothing copied was overwritten
        }
        got = 0;
    }
    position += got;
    read_.store(position, std::memory_order_relaxed);
    if (got < count) {
        std::fill(left + got, left + count, 0.0f);
        std::fill(right + got, right + count, 0.0f);
        underrun_.fetch_add(static_cast<std::uint64_t>(count - got), std::memory_order_relaxed);
    }
    return got;
}

std::int64_t AudioRingBuffer::skip(std::int64_t count) {
    std::int64_t position = read_.load(std::memory_order_relaxed);
    const std::int64_t written = catchUp(position);
    const std::int64_t skipped = std::clamp<std::int64_t>(count, 0, written - position);
    read_.store(position + skipped, std::memory_order_relaxed);
    return skipped;
}

std::optional<AudioRingBuffer::Fill> AudioRingBuffer::fill() {
    const std::int64_t written = written_.load(std::memory_order_acquire);
    const double time = writeTime_.load(std::memory_order_acquire);
    // A write that began meanwhile may have stored its own time already.
    if (claimed_.load(std::memory_order_relaxed) != written || std::isnan(time) ||
        resetRequested_.load(std::memory_order_relaxed)) {
        return std::nullopt;
    }
    const std::int64_t pending = written - read_.load(std::memory_order_relaxed);
    return Fill{std::min(pending, kCapacity), time};
}

void AudioRingBuffer::reset() {
    resetRequested_.store(true, std::memory_order_release);
}

std::int64_t AudioRingBuffer::availableFrames() const {
    if (resetRequested_.load(std::memory_order_acquire)) {
        return 0;
    }
    const std::int64_t pending =
        written_.load(std::memory_order_acquire) - read_.load(std::memory_order_relaxed);
    return std::min(pending, kCapacity);
}

}  // namespace qv
