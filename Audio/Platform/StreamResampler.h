#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace qv {

// Converts a pulled stereo stream from one rate to another with a windowed-sinc interpolator.
// Tables and buffers are made on the main thread by the constructor; `pull` runs on the render
// thread and never allocates.
class StreamResampler {
  public:
    // Render thread: fills `frames` frames of both channels at the source rate.
    using Source = std::function<void(float* left, float* right, int frames)>;

    // `maxOutputFrames` is the largest request `pull` will see at a time.
    StreamResampler(double sourceRate, double targetRate, int maxOutputFrames);

    double sourceRate() const { return sourceRate_; }
    double targetRate() const { return targetRate_; }

    // Render thread: writes `frames` frames at the target rate, pulling the source as needed.
    void pull(const Source& source, float* left, float* right, int frames);

  private:
    static constexpr int kTaps = 32;     // filter length in source samples
    static constexpr int kPhases = 512;  // table resolution between two source samples

    double sourceRate_;
    double targetRate_;
    double step_;  // source samples per target sample
    int maxChunk_;
    std::vector<float> table_;  // (kPhases + 1) × kTaps
    std::vector<float> history_[2];
    int filled_ = 0;       // valid source samples in history_
    double position_ = 0;  // next output's position in history_, source samples
};

}  // namespace qv
