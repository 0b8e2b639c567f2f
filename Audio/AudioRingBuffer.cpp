#include "Audio/AudioRingBuffer.h"

#include <algorithm>

namespace qv {

AudioRingBuffer::AudioRingBuffer()
    : bufferL_(static_cast<std::size_t>(kCapacity), 0.0f),
      bufferR_(static_cast<std::size_t>(kCapacity), 0.0f) {}

void AudioRingBuffer::write(const float* left, const float* right, std::int64_t count) {
    std::lock_guard guard(lock_);
    for (std::int64_t i = 0; i < count; ++i) {
        bufferL_[static_cast<std::size_t>(writeIndex_)] = left[i];
        bufferR_[static_cast<std::size_t>(writeIndex_)] = right[i];
        writeIndex_ = (writeIndex_ + 1) % kCapacity;
    }
}

std::int64_t AudioRingBuffer::read(float* left, float* right, std::int64_t count) {
    std::lock_guard guard(lock_);
    const std::int64_t available = (writeIndex_ - readIndex_ + kCapacity) % kCapacity;
    const std::int64_t n = std::min(available, std::max<std::int64_t>(count, 0));
    for (std::int64_t i = 0; i < n; ++i) {
        left[i] = bufferL_[static_cast<std::size_t>(readIndex_)];
        right[i] = bufferR_[static_cast<std::size_t>(readIndex_)];
        readIndex_ = (readIndex_ + 1) % kCapacity;
    }
    if (n < count) {
        std::fill(left + n, left + count, 0.0f);
        std::fill(right + n, right + count, 0.0f);
    }
    return n;
}

void AudioRingBuffer::reset() {
    std::lock_guard guard(lock_);
    writeIndex_ = 0;
    readIndex_ = 0;
}

std::int64_t AudioRingBuffer::availableFrames() {
    std::lock_guard guard(lock_);
    return (writeIndex_ - readIndex_ + kCapacity) % kCapacity;
}

}  // namespace qv
