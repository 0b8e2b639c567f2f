#include "Audio/Platform/EQNode.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>

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

// Where the responses of two filters are compared: every octave from 31.25 Hz to 16 kHz, as
// e^-jw and e^-2jw.
struct Probe {
    double cos1, sin1, cos2, sin2;
};
const std::array<Probe, 10> kProbes = [] {
    std::array<Probe, 10> probes{};
    double frequency = 31.25;
    for (Probe& p : probes) {
        const double w = 2.0 * std::numbers::pi * frequency / sampleRate();
        p = {std::cos(w), -std::sin(w), std::cos(2.0 * w), -std::sin(2.0 * w)};
        frequency *= 2.0;
    }
    return probes;
}();

// The response of a section (left channel) at a probe, as real and imaginary parts.
void response(const BiquadStage& s, const Probe& p, double& re, double& im) {
    const double nr = s.b0[0] + s.b1[0] * p.cos1 + s.b2[0] * p.cos2;
    const double ni = s.b1[0] * p.sin1 + s.b2[0] * p.sin2;
    const double dr = 1.0 + s.a1[0] * p.cos1 + s.a2[0] * p.cos2;
    const double di = s.a1[0] * p.sin1 + s.a2[0] * p.sin2;
    const double d = dr * dr + di * di;
    re = (nr * dr + ni * di) / d;
    im = (ni * dr - nr * di) / d;
}

// Render thread. Whether the history of `before` is a better start for `after` than a flat
// band's: the largest (squared) difference of their responses against the largest of `after`
// from flat.
bool keepsHistory(const BiquadStage& before, const BiquadStage& after) {
    if (std::memcmp(&before, &after, sizeof before) == 0) {
        return true;
    }
    double fromBefore = 0.0;
    double fromFlat = 0.0;
    for (const Probe& p : kProbes) {
        double re, im, oldRe, oldIm;
        response(after, p, re, im);
        response(before, p, oldRe, oldIm);
        fromBefore =
            std::max(fromBefore, (re - oldRe) * (re - oldRe) + (im - oldIm) * (im - oldIm));
        fromFlat = std::max(fromFlat, (re - 1.0) * (re - 1.0) + im * im);
    }
    return fromBefore < fromFlat;
}

// The source (which may be the output) goes out unchanged.
void passThrough(const float* const* source, float* const* outputs, int frames) {
    for (int c = 0; c < 2; ++c) {
        if (source[c] != outputs[c]) {
            std::copy_n(source[c], frames, outputs[c]);
        }
    }
}

}  // namespace

EQNode::EQNode() : fadeFrames_(static_cast<int>(std::lround(kFadeSeconds * sampleRate()))) {
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

// Render thread. The input history just before `frame` of this block (null inputs: silence).
EQNode::InputHistory EQNode::inputHistoryAt(const float* const* inputs, int frame) const {
    InputHistory h;
    for (int c = 0; c < 2; ++c) {
        const auto at = [&](int i) {
            if (i >= 0) {
                return inputs ? static_cast<double>(inputs[c][i]) : 0.0;
            }
            return i == -1 ? input_.x1[c] : input_.x2[c];
        };
        h.x1[c] = at(frame - 1);
        h.x2[c] = at(frame - 2);
    }
    return h;
}

// Render thread. History for `set` taking over from `fading_`: along the cascade each section
// sees the output history of the one before it. A band that starts now takes its input's
// output history, as a flat band would have had; one that ran before keeps its own when its new
// filter is nearer the old one than flat (a band being tuned), and starts flat otherwise (a
// layout switch puts unrelated filters at the same index, and an unrelated history sets a low
// band ringing for tens of milliseconds).
void EQNode::startHistory(const CoefficientSet& set, const InputHistory& input) {
    std::array<BiquadStageState, kBandCount> next{};
    double x1[2] = {input.x1[0], input.x1[1]};
    double x2[2] = {input.x2[0], input.x2[1]};
    std::size_t position = 0;
    for (std::uint32_t band = 0; band < kBandCount; ++band) {
        const std::uint32_t bit = 1u << band;
        if (!(set.activeMask & bit)) {
            continue;
        }
        BiquadStageState& s = next[position++];
        for (int c = 0; c < 2; ++c) {
            s.x1[c] = x1[c];
            s.x2[c] = x2[c];
            s.y1[c] = x1[c];
            s.y2[c] = x2[c];
        }
        const auto oldPosition =
            static_cast<std::size_t>(std::popcount(fading_.activeMask & (bit - 1)));
        if ((fading_.activeMask & bit) &&
            keepsHistory(fading_.stages[oldPosition], set.stages[position - 1])) {
            const BiquadStageState& old = fadingHistory_[oldPosition];
            for (int c = 0; c < 2; ++c) {
                s.y1[c] = old.y1[c];
                s.y2[c] = old.y2[c];
            }
        }
        for (int c = 0; c < 2; ++c) {
            x1[c] = s.y1[c];
            x2[c] = s.y2[c];
        }
    }
    history_ = next;
}

// Render thread, between crossfades. Takes a newer set or a change of bypass, and starts the
// crossfade to it.
void EQNode::followChanges(const InputHistory& input) {
    static constexpr CoefficientSet kNone{};
    const bool newer = sharedSlot_.load(std::memory_order_relaxed) & kNewer;
    const bool bypassed = bypass();
    if (rendered_ && !newer && bypassed == runningBypass_) {
        return;
    }
    // The running cascade becomes the one that fades out.
    const CoefficientSet& old =
        runningBypass_ ? kNone : slots_[static_cast<std::size_t>(readSlot_)];
    fading_.activeMask = old.activeMask;
    fading_.count = old.count;
    std::copy_n(old.stages.begin(), old.count, fading_.stages.begin());
    std::copy_n(history_.begin(), old.count, fadingHistory_.begin());
    if (newer) {
        readSlot_ =
            sharedSlot_.exchange(static_cast<std::uint8_t>(readSlot_), std::memory_order_acq_rel) &
            0x3;
    }
    runningBypass_ = bypassed;
    const CoefficientSet& set = bypassed ? kNone : slots_[static_cast<std::size_t>(readSlot_)];
    if (!rendered_) {
        // Nothing played yet: the filters start from silence, with nothing to fade from.
        rendered_ = true;
        history_ = {};
        return;
    }
    const bool same =
        set.activeMask == fading_.activeMask &&
        std::equal(set.stages.begin(), set.stages.begin() + set.count, fading_.stages.begin(),
                   [](const auto& a, const auto& b) { return std::memcmp(&a, &b, sizeof a) == 0; });
    if (same) {
        return;  // the same filters carry on
    }
    startHistory(set, input);
    fadeLeft_ = fadeFrames_;
}

// Render thread.
void EQNode::renderCascade(const CoefficientSet& set, BiquadStageState* history,
                           const float* const* source, float* const* outputs, int frames) {
    if (set.count == 0) {
        passThrough(source, outputs, frames);
        return;
    }
    processBiquadCascade(set.stages.data(), history, set.count, source, outputs, frames);
    flushTinyHistory(history, set.count);
}

// Render thread. The old cascade into the scratch, the new one into the output, then the blend;
// the crossfade's last frame is the new cascade's alone.
void EQNode::renderCrossfade(const float* const* source, float* const* outputs, int frames) {
    float* old[2] = {fadeScratch_[0], fadeScratch_[1]};
    renderCascade(fading_, fadingHistory_.data(), source, old, frames);
    if (runningBypass_) {
        passThrough(source, outputs, frames);
    } else {
        renderCascade(slots_[static_cast<std::size_t>(readSlot_)], history_.data(), source, outputs,
                      frames);
    }
    const int done = fadeFrames_ - fadeLeft_;
    const float perFrame = 1.0f / static_cast<float>(fadeFrames_);
    const int blended = fadeLeft_ > frames ? frames : frames - 1;
    for (int c = 0; c < 2; ++c) {
        float* out = outputs[c];
        const float* from = old[c];
        for (int i = 0; i < blended; ++i) {
            const float g = static_cast<float>(done + i + 1) * perFrame;
            out[i] = from[i] + g * (out[i] - from[i]);
        }
    }
    fadeLeft_ -= frames;
}

// Render thread. Keeps the last two input frames, for a band that starts from them.
void EQNode::rememberInput(const float* const* inputs, int frames) {
    for (int c = 0; c < 2; ++c) {
        const double x1 = inputs ? inputs[c][frames - 1] : 0.0;
        input_.x2[c] = frames >= 2 ? (inputs ? inputs[c][frames - 2] : 0.0) : input_.x1[c];
        input_.x1[c] = x1;
    }
}

// Render thread.
void EQNode::render(const float* const* inputs, float* const* outputs, int frames) {
    if (frames <= 0) {
        return;
    }
    const bool changed = !rendered_ || fadeLeft_ > 0 ||
                         (sharedSlot_.load(std::memory_order_relaxed) & kNewer) ||
                         bypass() != runningBypass_;
    if (!changed) {
        // The same filters as in the last block, or none.
        const CoefficientSet& set = slots_[static_cast<std::size_t>(readSlot_)];
        if (runningBypass_ || set.count == 0) {
            copyOrSilence(inputs, outputs, frames);
        } else {
            const float* const* source = inputs;
            if (!source) {
                copyOrSilence(nullptr, outputs, frames);
                source = outputs;
            }
            processBiquadCascade(set.stages.data(), history_.data(), set.count, source, outputs,
                                 frames);
            flushTinyHistory(history_.data(), set.count);
        }
        rememberInput(inputs, frames);
        return;
    }
    const float* const* source = inputs;
    if (!source) {
        // Silence in: the filters still ring out.
        copyOrSilence(nullptr, outputs, frames);
        source = outputs;
    }
    for (int done = 0; done < frames;) {
        if (fadeLeft_ == 0) {
            followChanges(inputHistoryAt(inputs, done));
        }
        const int n = fadeLeft_ > 0 ? std::min(frames - done, fadeLeft_) : frames - done;
        const float* in[2] = {source[0] + done, source[1] + done};
        float* out[2] = {outputs[0] + done, outputs[1] + done};
        if (fadeLeft_ > 0) {
            renderCrossfade(in, out, n);
        } else if (runningBypass_) {
            passThrough(in, out, n);
        } else {
            renderCascade(slots_[static_cast<std::size_t>(readSlot_)], history_.data(), in, out, n);
        }
        done += n;
    }
    rememberInput(inputs, frames);
}

}  // namespace qv
