#pragma once

#include <array>
#include <atomic>

#include "Audio/Platform/AudioNode.h"

namespace qv {

enum class EQFilterType { parametric, lowShelf, highShelf };

// One band of an equaliser: frequency in Hz, bandwidth in octaves, gain in dB.
struct EQFilterParameters {
    EQFilterType filterType = EQFilterType::parametric;
    float frequency = 1000.0f;
    float bandwidth = 1.0f;
    float gain = 0.0f;
    bool bypass = false;
};

// An 11-band equaliser. Band parameters are set on the main thread.
class EQNode final : public AudioNode {
  public:
    static constexpr int kBandCount = 11;

    int bandCount() const { return kBandCount; }
    // Main thread.
    const EQFilterParameters& band(int index) const {
        return bands_[static_cast<std::size_t>(index)];
    }
    void setBand(int index, const EQFilterParameters& parameters) {
        if (index >= 0 && index < kBandCount) {
            bands_[static_cast<std::size_t>(index)] = parameters;
        }
    }

    // Whole-node bypass: audio passes unchanged.
    void setBypass(bool bypass) { bypass_.store(bypass, std::memory_order_relaxed); }
    bool bypass() const { return bypass_.load(std::memory_order_relaxed); }

    // Render thread. The filter stages are not wired in yet: audio passes unchanged.
    void render(const float* const* inputs, float* const* outputs, int frames) override;

  private:
    std::array<EQFilterParameters, kBandCount> bands_{};
    std::atomic<bool> bypass_{false};
};

}  // namespace qv
