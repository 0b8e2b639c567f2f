#pragma once

#include <atomic>
#include <cstdint>

#include "Audio/Platform/AudioNode.h"

namespace qv {

// Sums its inputs and applies a linear output volume.
//
// A change of volume never steps: the render thread moves the volume it applies to the new
// one in a straight line over kRampSeconds, sample by sample and across render calls, so the
// ramp is the same whatever the period. A change during a ramp starts a new ramp from where the
// volume is. The first render of a node plays at the volume set by then (a bus that is built and
// started plays at its level at once).
class MixerNode final : public AudioNode {
  public:
    static constexpr double kRampSeconds = 0.010;

    MixerNode();

    // Linear gain; any thread. With `ramp` false the volume jumps instead: the next render
    // starts there, and later changes ramp from it. To build a graph silent and fade it in:
    // setOutputVolume(0, false) before the start, then setOutputVolume(level).
    void setOutputVolume(float volume, bool ramp = true);
    // The volume last set (where a ramp in flight is heading).
    float outputVolume() const;

    // Render thread.
    void render(const float* const* inputs, float* const* outputs, int frames) override;

  private:
    // The target and a count of jumps, one atomic so that a render sees a jump with its
    // target; the level of the last jump is stored before its count is.
    static std::uint64_t pack(float volume, std::uint32_t jumps);
    static float volumeOf(std::uint64_t packed);
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
    static_assert(std::atomic<float>::is_always_lock_free);
    std::atomic<std::uint64_t> target_;
    std::atomic<float> jumpLevel_{1.0f};

    // Render thread.
    const int rampFrames_;
    bool rendered_ = false;
    std::uint32_t jumpsSeen_ = 0;
    float applied_ = 1.0f;   // the volume of the last sample rendered
    float rampFrom_ = 1.0f;  // the ramp in flight: from, to, and frames left of it
    float rampTo_ = 1.0f;
    int rampLeft_ = 0;
};

}  // namespace qv
