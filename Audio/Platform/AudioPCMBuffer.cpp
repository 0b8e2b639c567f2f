#include "Audio/Platform/AudioPCMBuffer.h"

#include <algorithm>

namespace qv {

AudioPCMBuffer::AudioPCMBuffer(const AudioFormat& format, std::uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity) {
    const std::size_t channels = std::max<std::uint32_t>(format.channelCount, 1);
    storage_.assign(channels * frameCapacity, 0.0f);
    if (format.interleaved) {
        pointers_.push_back(storage_.data());
    } else {
        for (std::size_t c = 0; c < channels; ++c) {
            pointers_.push_back(storage_.data() + c * frameCapacity);
        }
    }
}

void AudioPCMBuffer::setFrameLength(std::uint32_t frames) {
    frameLength_ = std::min(frames, frameCapacity_);
}

void AudioPCMBuffer::clear() {
    const std::size_t channels = std::max<std::uint32_t>(format_.channelCount, 1);
    if (format_.interleaved) {
        std::fill_n(storage_.data(), channels * frameLength_, 0.0f);
    } else {
        for (auto* p : pointers_) {
            std::fill_n(p, frameLength_, 0.0f);
        }
    }
}

}  // namespace qv
