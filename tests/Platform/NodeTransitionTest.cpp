#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "Audio/Platform/DelayNode.h"
#include "Audio/Platform/EQNode.h"
#include "Audio/Platform/MixerNode.h"
#include "tests/Support/SignalAnalysis.h"

// Every control of every node moved while a full-scale tone plays: the output never steps
// further than the tone itself does, each change is complete 20 ms after it is made, and the
// result then is what a node set up that way from the start plays.

namespace qv {
namespace {

constexpr double kRate = 48000.0;
constexpr std::size_t kFollowFrames = 960;  // 20 ms: nothing is slower to follow
constexpr double kStepMargin = 0.01;        // 1 % of full scale
const int kPeriods[] = {64, 128, 441, 1024};

std::size_t frameAt(double ms) {
    return static_cast<std::size_t>(std::lround(ms * kRate / 1000.0));
}

struct Stereo {
    std::vector<float> left;
    std::vector<float> right;
};

// 1 kHz at amplitude 1.0: a sine on the left, a cosine on the right.
Stereo tone(std::size_t frames) {
    Stereo x{std::vector<float>(frames), std::vector<float>(frames)};
    for (std::size_t i = 0; i < frames; ++i) {
        const double phase = 2.0 * std::numbers::pi * 1000.0 * static_cast<double>(i) / kRate;
        x.left[i] = static_cast<float>(std::sin(phase));
        x.right[i] = static_cast<float>(std::cos(phase));
    }
    return x;
}

struct Change {
    double ms;
    void (*apply)(AudioNode&);
};

// Renders `in` in blocks of `period`, making each change before the first block that starts at
// or after its time (as a control thread does between periods), or with `exact`, cutting a
// block short so that the change comes exactly at its frame. Returns the frames where the
// changes came.
std::vector<std::size_t> render(AudioNode& node, const Stereo& in, Stereo& out, int period,
                                const std::vector<Change>& changes, bool exact = false) {
    out = {std::vector<float>(in.left.size()), std::vector<float>(in.right.size())};
    std::vector<std::size_t> at;
    std::size_t next = 0;
    for (std::size_t done = 0; done < in.left.size();) {
        while (next < changes.size() && frameAt(changes[next].ms) <= done) {
            changes[next++].apply(node);
            at.push_back(done);
        }
        std::size_t frames = std::min(static_cast<std::size_t>(period), in.left.size() - done);
        if (exact && next < changes.size()) {
            frames = std::min(frames, frameAt(changes[next].ms) - done);
        }
        const float* inputs[2] = {in.left.data() + done, in.right.data() + done};
        float* outputs[2] = {out.left.data() + done, out.right.data() + done};
        node.render(inputs, outputs, static_cast<int>(frames));
        done += frames;
    }
    return at;
}

template <typename Node>
Node& as(AudioNode& node) {
    return static_cast<Node&>(node);
}

std::shared_ptr<AudioNode> mixerAt(float volume) {
    auto node = std::make_shared<MixerNode>();
    node->setOutputVolume(volume);
    return node;
}

std::shared_ptr<AudioNode> delay(double seconds, float mix = 100.0f, bool bypass = false) {
    auto node = std::make_shared<DelayNode>();
    node->setDelayTime(seconds);
    node->setFeedback(0.0f);
    node->setWetDryMix(mix);
    node->setBypass(bypass);
    return node;
}

using Layout = std::array<EQFilterParameters, EQNode::kBandCount>;

EQFilterParameters peak(float frequency, float gain) {
    return {EQFilterType::parametric, frequency, 1.0f, gain, false};
}

// A graphic EQ with every band at work, and a three-band layout.
Layout elevenBands() {
    const float hz[] = {32, 64, 125, 250, 500, 1000, 2000, 4000, 8000, 16000, 20000};
    const float db[] = {4, -3, 2, -6, 3, 9, -4, 5, -2, 6, -5};
    Layout bands{};
    for (std::size_t i = 0; i < bands.size(); ++i) {
        bands[i] = peak(hz[i], db[i]);
    }
    return bands;
}
Layout threeBands() {
    Layout bands{};
    bands[0] = {EQFilterType::lowShelf, 100, 1, 6, false};
    bands[1] = {EQFilterType::parametric, 1200, 1.5f, -8, false};
    bands[2] = {EQFilterType::highShelf, 8000, 1, 4, false};
    return bands;
}

std::shared_ptr<AudioNode> eq(const Layout& bands, bool bypass = false) {
    auto node = std::make_shared<EQNode>();
    node->setBands(bands);
    node->setBypass(bypass);
    return node;
}
std::shared_ptr<AudioNode> eqWithBand(float gain) {
    Layout bands{};
    bands[5] = peak(1000, gain);
    return eq(bands);
}

struct Case {
    const char* name;
    std::shared_ptr<AudioNode> (*make)();  // at its first settings
    std::vector<Change> changes;
    std::shared_ptr<AudioNode> (*settled)();  // set up at the last settings from the start
    double tolerance;  // of the output against `settled` 20 ms after the last change
};

// The changes come at 250 ms and 450 ms, once every delay has heard the tone: the first
// 200 ms are not judged (a delay starts with silence and then the tone sets in).
const Case kCases[] = {
    {"fader 0 dB to -40 dB and back",
     [] { return mixerAt(1.0f); },
     {{250, [](AudioNode& n) { as<MixerNode>(n).setOutputVolume(0.01f); }},
      {450, [](AudioNode& n) { as<MixerNode>(n).setOutputVolume(1.0f); }}},
     [] { return mixerAt(1.0f); },
     0},
    {"mute on and off",
     [] { return mixerAt(1.0f); },
     {{250, [](AudioNode& n) { as<MixerNode>(n).setOutputVolume(0.0f); }},
      {450, [](AudioNode& n) { as<MixerNode>(n).setOutputVolume(1.0f); }}},
     [] { return mixerAt(1.0f); },
     0},
    {"fader moved again halfway through its ramp",
     [] { return mixerAt(1.0f); },
     {{250, [](AudioNode& n) { as<MixerNode>(n).setOutputVolume(0.0f); }},
      {255, [](AudioNode& n) { as<MixerNode>(n).setOutputVolume(0.5f); }}},
     [] { return mixerAt(0.5f); },
     0},
    // Both delays hold whole periods of the tone, so the taps agree: the blend must not dip.
    {"delay 0 ms to 100 ms to 7 ms",
     [] { return delay(0.0); },
     {{250, [](AudioNode& n) { as<DelayNode>(n).setDelayTime(0.1); }},
      {450, [](AudioNode& n) { as<DelayNode>(n).setDelayTime(0.007); }}},
     [] { return delay(0.007); },
     0},
    {"delay 0 ms to 50.25 ms to 7.3 ms",
     [] { return delay(0.0); },
     {{250, [](AudioNode& n) { as<DelayNode>(n).setDelayTime(0.05025); }},
      {450, [](AudioNode& n) { as<DelayNode>(n).setDelayTime(0.0073); }}},
     [] { return delay(0.0073); },
     0},
    {"delay moved again during its crossfade",
     [] { return delay(0.1); },
     {{250, [](AudioNode& n) { as<DelayNode>(n).setDelayTime(0.0073); }},
      {253, [](AudioNode& n) { as<DelayNode>(n).setDelayTime(0.0411); }}},
     [] { return delay(0.0411); },
     0},
    {"delay bypass on, off and on again",
     [] { return delay(0.1073); },
     {{250, [](AudioNode& n) { as<DelayNode>(n).setBypass(true); }},
      {450, [](AudioNode& n) { as<DelayNode>(n).setBypass(false); }},
      {550, [](AudioNode& n) { as<DelayNode>(n).setBypass(true); }}},
     [] { return delay(0.1073, 100.0f, true); },
     0},
    {"delay 7.3 ms to 0 ms",
     [] { return delay(0.0073); },
     {{250, [](AudioNode& n) { as<DelayNode>(n).setDelayTime(0.0); }}},
     [] { return delay(0.0); },
     0},
    {"delay mix 100 % to 30 % to 70 %",
     [] { return delay(0.0073); },
     {{250, [](AudioNode& n) { as<DelayNode>(n).setWetDryMix(30.0f); }},
      {450, [](AudioNode& n) { as<DelayNode>(n).setWetDryMix(70.0f); }}},
     [] { return delay(0.0073, 70.0f); },
     0},
    {"EQ band 0 dB to +12 dB and back",
     [] { return eqWithBand(0.0f); },
     {{250, [](AudioNode& n) { as<EQNode>(n).setBand(5, peak(1000, 12)); }},
      {450, [](AudioNode& n) { as<EQNode>(n).setBand(5, peak(1000, 0)); }}},
     [] { return eqWithBand(0.0f); },
     0},
    {"EQ band 0 dB to -12 dB and back",
     [] { return eqWithBand(0.0f); },
     {{250, [](AudioNode& n) { as<EQNode>(n).setBand(5, peak(1000, -12)); }},
      {450, [](AudioNode& n) { as<EQNode>(n).setBand(5, peak(1000, 0)); }}},
     [] { return eqWithBand(0.0f); },
     0},
    {"EQ band -12 dB, then +12 dB during the crossfade",
     [] { return eqWithBand(0.0f); },
     {{250, [](AudioNode& n) { as<EQNode>(n).setBand(5, peak(1000, -12)); }},
      {254, [](AudioNode& n) { as<EQNode>(n).setBand(5, peak(1000, 12)); }}},
     [] { return eqWithBand(12.0f); },
     1e-4},
    {"EQ layout 11 bands to 3 bands",
     [] { return eq(elevenBands()); },
     {{250, [](AudioNode& n) { as<EQNode>(n).setBands(threeBands()); }}},
     [] { return eq(threeBands()); },
     1e-3},
    // Its 32 Hz and 64 Hz bands take tens of milliseconds to settle to the tone, whatever
    // history they start from: 20 ms on, up to 0.09 of the output's 2.7 remains (a crossfade
    // still in flight would leave about 2).
    {"EQ layout 3 bands to 11 bands",
     [] { return eq(threeBands()); },
     {{250, [](AudioNode& n) { as<EQNode>(n).setBands(elevenBands()); }}},
     [] { return eq(elevenBands()); },
     0.1},
    {"EQ bypass off and on",
     [] { return eq(elevenBands(), true); },
     {{250, [](AudioNode& n) { as<EQNode>(n).setBypass(false); }},
      {450, [](AudioNode& n) { as<EQNode>(n).setBypass(true); }}},
     [] { return eq(elevenBands(), true); },
     0},
};

constexpr double kLengthMs = 650;
constexpr double kJudgedFromMs = 200;

TEST(NodeTransitions, NoChangeStepsFurtherThanTheToneItself) {
    const Stereo in = tone(frameAt(kLengthMs));
    for (const Case& c : kCases) {
        double worstRatio = 0;
        std::string worst;
        for (const int period : kPeriods) {
            SCOPED_TRACE(std::string(c.name) + ", period " + std::to_string(period));
            auto node = c.make();
            Stereo out;
            const std::vector<std::size_t> at = render(*node, in, out, period, c.changes);
            // The tone's own largest step at each settled level: the last 50 ms before each
            // change that comes that long after the one before, and before the end.
            double bound = 0;
            std::vector<std::size_t> ends;
            for (std::size_t k = 0; k < at.size(); ++k) {
                if (k == 0 || at[k] - at[k - 1] > frameAt(50)) {
                    ends.push_back(at[k]);
                }
            }
            ends.push_back(in.left.size());
            for (const std::size_t end : ends) {
                for (const auto* channel : {&out.left, &out.right}) {
                    bound = std::max(bound, testing::maxJump(*channel, end - frameAt(50), end));
                }
            }
            bound += kStepMargin;
            const std::size_t from = frameAt(kJudgedFromMs);
            const double step =
                std::max(testing::maxJump(out.left, from), testing::maxJump(out.right, from));
            EXPECT_LE(step, bound);
            if (step / bound > worstRatio) {
                worstRatio = step / bound;
                worst = std::to_string(step) + " against " + std::to_string(bound);
            }
        }
        RecordProperty(c.name, worst);
    }
}

TEST(NodeTransitions, EachChangeIsCompleteWithin20msAndThenExact) {
    const Stereo in = tone(frameAt(kLengthMs));
    for (const Case& c : kCases) {
        double worst = 0;
        for (const int period : kPeriods) {
            SCOPED_TRACE(std::string(c.name) + ", period " + std::to_string(period));
            auto node = c.make();
            Stereo out;
            const std::size_t last = render(*node, in, out, period, c.changes).back();
            auto reference = c.settled();
            Stereo expected;
            render(*reference, in, expected, period, {});
            for (auto channel : {&Stereo::left, &Stereo::right}) {
                const std::vector<float>& got = out.*channel;
                const std::vector<float>& want = expected.*channel;
                for (std::size_t i = last + kFollowFrames; i < got.size(); ++i) {
                    const double error = std::fabs(static_cast<double>(got[i]) - want[i]);
                    worst = std::max(worst, error);
                    if (c.tolerance == 0 ? got[i] != want[i] : !(error <= c.tolerance)) {
                        ADD_FAILURE() << got[i] << " instead of " << want[i] << " at frame "
                                      << i - last << " after the change";
                        break;
                    }
                }
            }
        }
        RecordProperty(c.name, std::to_string(worst));
    }
}

// A change made at the same frame ramps the same way whatever the period, down to one frame.
TEST(NodeTransitions, RampsAreTheSameWhateverThePeriod) {
    const Stereo in = tone(frameAt(kLengthMs));
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Stereo first;
        auto node = c.make();
        render(*node, in, first, 1, c.changes, true);
        for (const int period : {7, 64, 441, 1024}) {
            SCOPED_TRACE(period);
            Stereo out;
            node = c.make();
            render(*node, in, out, period, c.changes, true);
            // The equaliser pairs frames for speed, which rounds a little differently.
            const bool exact = dynamic_cast<EQNode*>(node.get()) == nullptr;
            for (auto channel : {&Stereo::left, &Stereo::right}) {
                if (exact) {
                    EXPECT_EQ(out.*channel, first.*channel);
                    continue;
                }
                double worst = 0;
                for (std::size_t i = 0; i < in.left.size(); ++i) {
                    worst = std::max(worst, std::fabs(static_cast<double>((out.*channel)[i]) -
                                                      (first.*channel)[i]));
                }
                EXPECT_LT(worst, 1e-6);
            }
        }
    }
}

}  // namespace
}  // namespace qv
