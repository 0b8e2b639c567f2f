#pragma once

#include <atomic>

#include "Audio/Platform/AudioNode.h"

namespace qv {

// A delay line: delay time in seconds (at most 2), feedback and wet/dry mix in percent.
class DelayNode final : public AudioNode {
  public:
    static constexpr double kMaxDelaySeconds = 2.0;

    void setDelayTime(double seconds) {
        delayTime_.store(
            seconds < 0 ? 0 : (seconds > kMaxDelaySeconds ? kMaxDelaySeconds : seconds),
            std::memory_order_relaxed);
    }
    double delayTime() const { return delayTime_.load(std::memory_order_relaxed); }
    void setFeedback(float percent) { feedback_.store(percent, std::memory_order_relaxed); }
    float feedback() const { return feedback_.load(std::memory_order_relaxed); }
    void setWetDryMix(float percent) { wetDryMix_.store(percent, std::memory_order_relaxed); }
    float wetDryMix() const { return wetDryMix_.load(std::memory_order_relaxed); }
    void setBypass(bool bypass) { bypass_.store(bypass, std::memory_order_relaxed); }
    bool bypass() const { return bypass_.load(std::memory_order_relaxed); }

    // Render thread. The delay line is not wired in yet: audio passes unchanged.
    void render(const float* const* inputs, float* const* outputs, int frames) override;

  private:
    std::atomic<double> delayTime_{1.0};
    std::atomic<float> feedback_{50.0f};
    std::atomic<float> wetDryMix_{100.0f};
    std::atomic<bool> bypass_{false};
};

}  // namespace qv
