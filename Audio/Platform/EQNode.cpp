#include "Audio/Platform/EQNode.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "Audio/Platform/AudioFormat.h"

namespace qv {
namespace {

constexpr double kMinFrequency = 1.0;            // Hz
constexpr double kMaxFrequencyOfRate = 0.49;     // of the sample rate, below Nyquist
constexpr double kMinBandwidth = 0.01;           // octaves
constexpr double kMaxBandwidth = 10.0;           // octaves
constexpr double kSteepestShelfBandwidth = 1.0;  // octaves, slope S = 1

// The engine runs every graph at the internal format's rate (48 kHz).
double sampleRate() {
    return internalFormat().sampleRate;
}

void copyOrSilence(const float* const* inputs, float* const* outputs, int frames) {
    for (int c = 0; c < 2; ++c) {
        if (inputs) {
            std::copy_n(inputs[c], frames, outputs[c]);
        } else {
            std::fill_n(outputs[c], frames, 0.0f);
        }
    }
}

}  // namespace

EQNode::EQNode() {
    designed_.fill(makeBiquadStage(BiquadCoefficients{}));
}

bool EQNode::isActive(const EQFilterParameters& p) {
    return !p.bypass && p.gain != 0.0f && std::isfinite(p.gain) && std::isfinite(p.frequency) &&
           std::isfinite(p.bandwidth);
}

BiquadCoefficients EQNode::designBand(const EQFilterParameters& p) {
    if (!isActive(p)) {
        return {};
    }
    const double rate = sampleRate();
    const double frequency =
        std::clamp(static_cast<double>(p.frequency), kMinFrequency, kMaxFrequencyOfRate * rate);
    const double octaves =
        std::clamp(static_cast<double>(p.bandwidth), kMinBandwidth, kMaxBandwidth);
    const double slope = kSteepestShelfBandwidth / std::max(octaves, kSteepestShelfBandwidth);
    switch (p.filterType) {
        case EQFilterType::lowShelf:
            return lowShelfBiquad(frequency, slope, p.gain, rate);
        case EQFilterType::highShelf:
            return highShelfBiquad(frequency, slope, p.gain, rate);
        case EQFilterType::parametric:
            break;
    }
    return peakingBiquad(frequency, octaves, p.gain, rate);
}

void EQNode::setBand(int index, const EQFilterParameters& parameters) {
    if (index < 0 || index >= kBandCount) {
        return;
    }
    const auto i = static_cast<std::size_t>(index);
    bands_[i] = parameters;
    designed_[i] = makeBiquadStage(designBand(parameters));
    publish();
}

void EQNode::setBands(const std::array<EQFilterParameters, kBandCount>& bands) {
    bands_ = bands;
    for (std::size_t i = 0; i < bands_.size(); ++i) {
        designed_[i] = makeBiquadStage(designBand(bands_[i]));
    }
    publish();
}

// Main thread.
void EQNode::publish() {
    CoefficientSet& set = slots_[static_cast<std::size_t>(writeSlot_)];
    set.activeMask = 0;
    set.count = 0;
    for (std::size_t i = 0; i < bands_.size(); ++i) {
        if (isActive(bands_[i])) {
            set.activeMask |= 1u << i;
            set.stages[static_cast<std::size_t>(set.count++)] = designed_[i];
        }
    }
    activeCount_ = set.count;
    // Release: the set is complete before the render thread can take it. Acquire: the slot
    // handed back is one the render thread has finished with.
    writeSlot_ = sharedSlot_.exchange(static_cast<std::uint8_t>(writeSlot_ | kNewer),
                                      std::memory_order_acq_rel) &
                 0x3;
}

// Render thread. Keeps the history of bands that stay active; bands that start now begin
// from silence.
void EQNode::adoptHistory(std::uint32_t mask) {
    std::array<BiquadStageState, kBandCount> next{};
    std::size_t position = 0;
    for (std::uint32_t band = 0; band < kBandCount; ++band) {
        const std::uint32_t bit = 1u << band;
        if (!(mask & bit)) {
            continue;
        }
        if (runningMask_ & bit) {
            next[position] =
                history_[static_cast<std::size_t>(std::popcount(runningMask_ & (bit - 1)))];
        }
        ++position;
    }
    history_ = next;
    runningMask_ = mask;
}

// Render thread.
void EQNode::render(const float* const* inputs, float* const* outputs, int frames) {
    if (sharedSlot_.load(std::memory_order_relaxed) & kNewer) {
        readSlot_ =
            sharedSlot_.exchange(static_cast<std::uint8_t>(readSlot_), std::memory_order_acq_rel) &
            0x3;
    }
    const CoefficientSet& set = slots_[static_cast<std::size_t>(readSlot_)];
    // A bypassed node runs no band, so every band starts afresh when it returns.
    const std::uint32_t mask = bypass() ? 0 : set.activeMask;
    if (mask != runningMask_) {
        adoptHistory(mask);
    }
    if (mask == 0) {
        copyOrSilence(inputs, outputs, frames);
        return;
    }
    const float* const* source = inputs;
    if (!source) {
        // Silence in: the filters still ring out.
        copyOrSilence(nullptr, outputs, frames);
        source = outputs;
    }
    processBiquadCascade(set.stages.data(), history_.data(), set.count, source, outputs, frames);
    flushTinyHistory(history_.data(), set.count);
}

}  // namespace qv
