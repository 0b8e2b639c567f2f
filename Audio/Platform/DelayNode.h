#pragma once

#include <atomic>
#include <memory>

#include "Audio/Platform/AudioNode.h"

namespace qv {

// A stereo delay line: delay time in seconds (0 to 2, applied in whole frames at the engine's
// sample rate), feedback in percent (-100 to 100, 0 = a single echo) and wet/dry mix in
// percent (0 = all dry, 100 = all wet). Output = dry x (1 - mix) + delayed x mix; the line is
// fed with input + feedback x delayed. Bypassed, or with no delay, the input passes unchanged
// (feedback needs a delay). Setters: any thread.
//
// No change steps the output. The render thread follows each setting over kFadeSeconds:
// - a new delay time crossfades from the old tap to the new one (equal gain: both taps read the
//   same signal, and a linear blend never leaves the range of the two, where an equal-power
//   blend would swell by up to 3 dB on a small change of delay). A change that comes during a
//   crossfade follows as soon as that one ends.
// - bypass on or off, and a delay to or from 0, fade the effect out or in: the wet share and the
//   feedback move to 0 (or back) in a straight line, the tap where it was.
// - mix and feedback move in a straight line to their new values.
// Everything counts in frames across render calls, the same whatever the period. The first
// render starts at the settings made by then; once settled, the output is exactly the formula
// above.
class DelayNode final : public AudioNode {
  public:
    static constexpr double kMaxDelaySeconds = 2.0;
    static constexpr double kFadeSeconds = 0.010;

    // Allocates the line: the longest delay plus one render block, both channels.
    DelayNode();

    void setDelayTime(double seconds) {
        delayTime_.store(
            !(seconds > 0) ? 0 : (seconds > kMaxDelaySeconds ? kMaxDelaySeconds : seconds),
            std::memory_order_relaxed);
    }
    double delayTime() const { return delayTime_.load(std::memory_order_relaxed); }
    void setFeedback(float percent) { feedback_.store(percent, std::memory_order_relaxed); }
    float feedback() const { return feedback_.load(std::memory_order_relaxed); }
    void setWetDryMix(float percent) { wetDryMix_.store(percent, std::memory_order_relaxed); }
    float wetDryMix() const { return wetDryMix_.load(std::memory_order_relaxed); }
    void setBypass(bool bypass) { bypass_.store(bypass, std::memory_order_relaxed); }
    bool bypass() const { return bypass_.load(std::memory_order_relaxed); }

    // The delay in frames the render thread applies: round(delayTime x rate).
    int delayFrames() const;
    // The longest delay in frames (2 s at 48 kHz: 96000).
    int maxDelayFrames() const { return maxDelayFrames_; }

    // Render thread.
    void render(const float* const* inputs, float* const* outputs, int frames) override;

  private:
    static_assert(std::atomic<double>::is_always_lock_free);
    static_assert(std::atomic<float>::is_always_lock_free);

    // A value the render thread moves in a straight line over a fixed number of frames.
    struct Ramp {
        float value = 0.0f;  // of the last frame rendered
        float from = 0.0f;
        float to = 0.0f;
        int left = 0;  // frames to go

        void jump(float v) {
            value = from = to = v;
            left = 0;
        }
        void retarget(float target, int frames);
        // The value of the next frame; the last frame of a ramp is its target exactly.
        float next(int frames);
    };

    void write(const float* const* inputs, int frames);
    void passThrough(const float* const* source, float* const* outputs, int frames);
    void renderSteady(const float* const* source, float* const* outputs, int frames);
    void renderFading(const float* const* source, float* const* outputs, int frames);

    std::atomic<double> delayTime_{1.0};
    std::atomic<float> feedback_{50.0f};
    std::atomic<float> wetDryMix_{100.0f};
    std::atomic<bool> bypass_{false};

    int maxDelayFrames_ = 0;
    int lineFrames_ = 0;
    std::unique_ptr<float[]> line_;  // lineFrames_ of the left channel, then of the right

    const int fadeFrames_;

    // Render thread.
    int writePosition_ = 0;
    bool rendered_ = false;
    int tap_ = 0;      // the delay heard (frames); above 0 whenever the effect is
    int nextTap_ = 0;  // the delay a crossfade in flight moves to
    Ramp tapFade_;     // 0: all `tap_`, 1: all `nextTap_`
    Ramp effect_;      // 1: on, 0: bypassed (or no delay)
    Ramp wet_;
    Ramp feedbackGain_;
};

}  // namespace qv
