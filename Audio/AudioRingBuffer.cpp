#include "Audio/AudioRingBuffer.h"

#include <algorithm>
#include <cmath>

namespace qv {

AudioRingBuffer::AudioRingBuffer(double rate)
    : left_(new std::atomic<float>[kCapacity]),
      right_(new std::atomic<float>[kCapacity]),
      rate_(rate) {
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
    std::atomic_thread_fence(std::memory_order_release);
    for (std::int64_t f = start; f < end; ++f) {
        const std::int64_t i = f - start + skip;
        left_[f & kMask].store(left[i], std::memory_order_relaxed);
        right_[f & kMask].store(right[i], std::memory_order_relaxed);
    }
    writeTime_.store(time, std::memory_order_relaxed);
    written_.store(end, std::memory_order_release);
}

void AudioRingBuffer::noteWrite(std::int64_t count, double time) {
    constexpr double kWindow = 1.0;
    constexpr double kPause = 0.1;
    constexpr double kSmoothing = 0.25;
    if (std::isnan(time)) {
        // Untimed: the largest ever.
        largestWrite_.store(std::max(largestWrite_.load(std::memory_order_relaxed), count),
                            std::memory_order_relaxed);
        return;
    }
    Deliveries& d = deliveries_;
    const double interval = time - d.last;
    d.last = time;
    if (!(interval >= 0 && interval <= kPause)) {
        // The first delivery, or the first after a pause: a new timeline.
        d = Deliveries{};
        d.since = d.last = d.windowStart = time;
        d.frames = static_cast<double>(count);
        d.meanAhead = d.frames;
        d.write[1] = count;
        deliveringSince_.store(time, std::memory_order_relaxed);
        largestWrite_.store(count, std::memory_order_relaxed);
        shortfall_.store(0.0, std::memory_order_relaxed);
        return;
    }
    if (time - d.windowStart >= kWindow) {
        d.write[0] = d.write[1];
        d.shortfall[0] = d.shortfall[1];
        d.write[1] = 0;
        d.shortfall[1] = 0;
        d.windowStart = time;
    }
    // How far the frames delivered lead a steady stream just before and just after this one.
    const double steady = (time - d.since) * rate_;
    const double before = d.frames - steady;
    d.frames += static_cast<double>(count);
    const double after = d.frames - steady;
    d.meanAhead += (1.0 - std::exp(-interval / kSmoothing)) * (after - d.meanAhead);
    d.write[1] = std::max(d.write[1], count);
    d.shortfall[1] = std::max(d.shortfall[1], d.meanAhead - before);
    largestWrite_.store(std::max(d.write[0], d.write[1]), std::memory_order_relaxed);
    shortfall_.store(std::max(d.shortfall[0], d.shortfall[1]), std::memory_order_relaxed);
}

std::int64_t AudioRingBuffer::read(float* left, float* right, std::int64_t count) {
    count = std::max<std::int64_t>(count, 0);
    std::int64_t position = read_.load(std::memory_order_relaxed);
    std::int64_t got = 0;
    // A writer that laps the reader during the copy makes it start again from the newest
    // frames; two tries are plenty, a third gives up with silence.
    for (int attempt = 0; attempt < 3; ++attempt) {
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
        got = std::min(count, written - position);
        for (std::int64_t i = 0; i < got; ++i) {
            left[i] = left_[(position + i) & kMask].load(std::memory_order_relaxed);
            right[i] = right_[(position + i) & kMask].load(std::memory_order_relaxed);
        }
        std::atomic_thread_fence(std::memory_order_acquire);
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
    const std::int64_t skipped = std::clamp<std::int64_t>(count, 0, written - position);
    read_.store(position + skipped, std::memory_order_relaxed);
    return skipped;
}

std::optional<AudioRingBuffer::Fill> AudioRingBuffer::fill() {
    const std::int64_t written = written_.load(std::memory_order_acquire);
    const double time = writeTime_.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
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
