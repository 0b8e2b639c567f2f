#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Audio/Platform/AudioFormat.h"

namespace qv {

// A buffer of float32 audio. Non-interleaved formats keep one plane per channel; interleaved
// formats keep one plane with the channels interleaved. Allocated once at creation.
class AudioPCMBuffer {
  public:
    AudioPCMBuffer(const AudioFormat& format, std::uint32_t frameCapacity);

    const AudioFormat& format() const { return format_; }
    std::uint32_t frameCapacity() const { return frameCapacity_; }
    std::uint32_t frameLength() const { return frameLength_; }
    // Clamped to the capacity.
    void setFrameLength(std::uint32_t frames);

    // One pointer per channel (non-interleaved), or one pointer to the interleaved plane.
    float* const* floatChannelData() { return pointers_.data(); }
    const float* const* floatChannelData() const { return pointers_.data(); }
    std::uint32_t planeCount() const { return static_cast<std::uint32_t>(pointers_.size()); }

    // Zeroes the first frameLength frames.
    void clear();

  private:
    AudioFormat format_;
    std::uint32_t frameCapacity_;
    std::uint32_t frameLength_ = 0;
    std::vector<float> storage_;
    std::vector<float*> pointers_;
};

}  // namespace qv
