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
class DelayNode final : public AudioNode {
  public:
    static constexpr double kMaxDelaySeconds = 2.0;

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

    void write(const float* const* inputs, int frames);

    std::atomic<double> delayTime_{1.0};
    std::atomic<float> feedback_{50.0f};
    std::atomic<float> wetDryMix_{100.0f};
    std::atomic<bool> bypass_{false};

    int maxDelayFrames_ = 0;
    int lineFrames_ = 0;
    std::unique_ptr<float[]> line_;  // lineFrames_ of the left channel, then of the right

    // Render thread.
    int writePosition_ = 0;
};

}  // namespace qv
