#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "Audio/Platform/AudioNode.h"
#include "Audio/Platform/Biquad.h"

namespace qv {

enum class EQFilterType { parametric, lowShelf, highShelf };

// One band of an equaliser: frequency in Hz, bandwidth in octaves, gain in dB.
// Parametric: a peak or dip centred on `frequency`, `bandwidth` wide between the points where
// the boost is half its dB gain. Shelves: the full gain below (low) or above (high) the shelf,
// half of it at `frequency`; `bandwidth` is how many octaves the transition takes, as slope
// S = 1 / bandwidth: 1 octave is the steepest shelf without overshoot, and narrower
// bandwidths are held there. Frequencies are kept within (0, 0.49 x sample rate).
// A band whose gain is 0 dB or that is bypassed is inactive and costs nothing.
struct EQFilterParameters {
    EQFilterType filterType = EQFilterType::parametric;
    float frequency = 1000.0f;
    float bandwidth = 1.0f;
    float gain = 0.0f;
    bool bypass = false;
};

// An 11-band equaliser (stereo, the bands in index order). Band parameters are set on the main
// thread, which designs the filters and hands a whole coefficient set to the render thread
// without locks.
//
// No edit clicks: when the set (or the whole-node bypass) changes, the render thread runs the
// old filters and the new ones side by side for kFadeSeconds and crossfades from the first to
// the second in a straight line. The old ones go on from their own history, so their output
// stays continuous. The new ones pick up the signal where it is: a band that ran before keeps
// its history when its new filter is nearer its old one than flat (a band being tuned), and any
// other starts as a flat band would stand (from its input so far). A change that comes during a
// crossfade follows when that one ends, the newest set first. The first render starts with the
// set published by then. Once a crossfade is over, no active band (or bypass) passes the audio
// bit for bit again.
class EQNode final : public AudioNode {
  public:
    static constexpr int kBandCount = 11;
    static constexpr double kFadeSeconds = 0.010;

    EQNode();

    int bandCount() const { return kBandCount; }
    // Main thread.
    const EQFilterParameters& band(int index) const {
        return bands_[static_cast<std::size_t>(index)];
    }
    // Main thread. Redesigns the band and publishes a new coefficient set.
    void setBand(int index, const EQFilterParameters& parameters);
    // Main thread. Sets every band and publishes once, so no render sees a half-made layout.
    void setBands(const std::array<EQFilterParameters, kBandCount>& bands);
    // Main thread. Number of bands in the published set (not bypassed, gain not 0 dB).
    int activeBandCount() const { return activeCount_; }

    // Whole-node bypass: audio passes unchanged (after a crossfade). Any thread.
    void setBypass(bool bypass) { bypass_.store(bypass, std::memory_order_relaxed); }
    bool bypass() const { return bypass_.load(std::memory_order_relaxed); }

    // The filter a band runs at the engine's sample rate, after clamping its parameters (an
    // inactive band: identity).
    static BiquadCoefficients designBand(const EQFilterParameters& parameters);
    // Whether a band takes part in rendering.
    static bool isActive(const EQFilterParameters& parameters);

    // Render thread.
    void render(const float* const* inputs, float* const* outputs, int frames) override;

  private:
    // Everything the render thread needs from the bands: the active ones, in band order.
    struct CoefficientSet {
        std::uint32_t activeMask = 0;  // bit i: band i is active
        int count = 0;
        std::array<BiquadStage, kBandCount> stages{};
    };

    // The last two inputs of each channel, as a section's x history holds them.
    struct InputHistory {
        double x1[2] = {0.0, 0.0};
        double x2[2] = {0.0, 0.0};
    };

    void publish();
    void followChanges(const InputHistory& input);
    void startHistory(const CoefficientSet& set, const InputHistory& input);
    InputHistory inputHistoryAt(const float* const* inputs, int frame) const;
    void rememberInput(const float* const* inputs, int frames);
    void renderCascade(const CoefficientSet& set, BiquadStageState* history,
                       const float* const* source, float* const* outputs, int frames);
    void renderCrossfade(const float* const* source, float* const* outputs, int frames);

    // Main thread.
    std::array<EQFilterParameters, kBandCount> bands_{};
    std::array<BiquadStage, kBandCount> designed_{};
    int activeCount_ = 0;
    int writeSlot_ = 0;

    // Triple buffer: the main thread fills `writeSlot_`, then swaps it with the shared slot;
    // the render thread swaps its `readSlot_` for the shared slot when that holds a newer set.
    // Each side only ever touches its own slot, so no set is read while it is being written.
    static constexpr std::uint8_t kNewer = 0x4;
    static_assert(std::atomic<std::uint8_t>::is_always_lock_free);
    std::array<CoefficientSet, 3> slots_{};
    std::atomic<std::uint8_t> sharedSlot_{1};
    std::atomic<bool> bypass_{false};

    const int fadeFrames_;

    // Render thread. The running set is slots_[readSlot_], or none while bypassed.
    alignas(64) int readSlot_ = 2;
    bool rendered_ = false;
    bool runningBypass_ = false;
    std::array<BiquadStageState, kBandCount> history_{};  // of the running bands, in order
    InputHistory input_;                                  // before the next block
    // The crossfade in flight: frames to go, and the set it leaves (count 0: none, the input
    // passes) with its history.
    int fadeLeft_ = 0;
    CoefficientSet fading_{};
    std::array<BiquadStageState, kBandCount> fadingHistory_{};
    float fadeScratch_[2][kMaxRenderFrames] = {};
};

}  // namespace qv
