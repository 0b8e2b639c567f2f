#pragma once

#include <atomic>

#include "Audio/Platform/AudioNode.h"

namespace qv {

// Sums its inputs and applies a linear output volume.
class MixerNode final : public AudioNode {
  public:
    // Linear gain; any thread.
    void setOutputVolume(float volume) { outputVolume_.store(volume, std::memory_order_relaxed); }
    float outputVolume() const { return outputVolume_.load(std::memory_order_relaxed); }

    // Render thread.
    void render(const float* const* inputs, float* const* outputs, int frames) override;

  private:
    static_assert(std::atomic<float>::is_always_lock_free);
    std::atomic<float> outputVolume_{1.0f};
};

}  // namespace qv
