#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace qv {

// The stereo hand-over between a microphone tap (one writer) and a bus render thread (one
// reader): 16384 frames per channel, allocated once. A write never refuses data and overwrites
// the oldest frames on overrun; the frames waiting are counted modulo the capacity. A read
// fills what is missing with silence. One plain mutex guards each write, read and reset; it is
// the only lock a render thread ever takes.
class AudioRingBuffer {
  public:
    static constexpr std::int64_t kCapacity = 16384;

    AudioRingBuffer();

    void write(const float* left, const float* right, std::int64_t count);
    // Returns the frames that came from the buffer; the rest of both destinations is zeroed.
    std::int64_t read(float* left, float* right, std::int64_t count);
    void reset();

    // Frames waiting to be read.
    std::int64_t availableFrames();

  private:
    std::vector<float> bufferL_;
    std::vector<float> bufferR_;
    std::int64_t writeIndex_ = 0;
    std::int64_t readIndex_ = 0;
    std::mutex lock_;
};

}  // namespace qv
