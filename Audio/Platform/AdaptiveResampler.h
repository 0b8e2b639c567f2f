#pragma once

#include <cstdint>
#include <vector>

namespace qv {

// Stereo resampling at a ratio that may change from one call to the next, for the hand-over
// between two clocks that run at nearly the same rate (a few hundred parts per million apart).
// Windowed-sinc interpolation (Kaiser window, beta 12), kTaps taps, kPhases table rows with
// linear interpolation between rows: a 1 kHz sine comes out about 128 dB above the error at
// ±500 ppm, 10 kHz about 123 dB. At a ratio of exactly 1 and a whole-sample position it
// passes its input through unchanged, bit for bit.
//
// Input is pushed into its history, output pulled from it. Made on the main thread; push and
// pull run on one render thread and never allocate.
class AdaptiveResampler {
  public:
    static constexpr int kTaps = 32;
    static constexpr int kPhases = 512;
    // Input frames it holds beyond the next output's position, to have the filter's future.
    static constexpr int kLookahead = kTaps / 2;

    // `maxOutputFrames`: the largest pull; ratios are kept within ±2 %. The first one made
    // computes the filter table (main thread).
    explicit AdaptiveResampler(int maxOutputFrames);

    // Input frames consumed per output frame (1 + the correction).
    void setRatio(double ratio);
    double ratio() const { return ratio_; }

    // How many more input frames the next pull of `frames` outputs needs.
    int inputNeeded(int frames) const;
    // Room for `frames` input frames at the end of the history: write them there, then commit.
    float* inputLeft() { return history_[0].data() + filled_; }
    float* inputRight() { return history_[1].data() + filled_; }
    void commitInput(int frames) { filled_ += frames; }

    // Writes `frames` outputs; inputNeeded(frames) must be 0.
    void pull(float* left, float* right, int frames);
    // Moves on as pull() would, without working the outputs out (nobody listens).
    void discard(int frames);

    // Input frames held that the outputs have not reached yet, fractional.
    double heldFrames() const { return filled_ - position_; }
    // Back to an empty history at a whole-sample position and a ratio of 1.
    void reset();

  private:
    void advance(int frames);

    const float* table_;  // (kPhases + 1) × kTaps, shared by every resampler
    double ratio_ = 1.0;
    int maxChunk_;
    std::vector<float> history_[2];
    int filled_ = 0;       // valid input frames in history_
    double position_ = 0;  // next output's position in history_, input frames
};

}  // namespace qv
