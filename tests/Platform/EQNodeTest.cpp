#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "Audio/Platform/EQNode.h"
#include "tests/Support/SignalAnalysis.h"

namespace qv {
namespace {

constexpr double kRate = 48000.0;

struct Stereo {
    std::vector<float> left;
    std::vector<float> right;
};

Stereo noise(std::size_t frames, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    Stereo x{std::vector<float>(frames), std::vector<float>(frames)};
    for (std::size_t i = 0; i < frames; ++i) {
        x.left[i] = sample(random);
        x.right[i] = sample(random);
    }
    return x;
}

Stereo sine(double frequency, std::size_t frames) {
    Stereo x{std::vector<float>(frames), std::vector<float>(frames)};
    for (std::size_t i = 0; i < frames; ++i) {
        const double phase = 2.0 * std::numbers::pi * frequency * static_cast<double>(i) / kRate;
        x.left[i] = static_cast<float>(0.5 * std::sin(phase));
        x.right[i] = static_cast<float>(0.5 * std::cos(phase));
    }
    return x;
}

// Renders `in` through the node in blocks, cycling through `blockSizes`.
Stereo render(EQNode& node, const Stereo& in, std::vector<int> blockSizes = {128}) {
    Stereo out{std::vector<float>(in.left.size()), std::vector<float>(in.left.size())};
    std::size_t block = 0;
    for (std::size_t done = 0; done < in.left.size(); ++block) {
        const auto frames = std::min(
            static_cast<std::size_t>(blockSizes[block % blockSizes.size()]), in.left.size() - done);
        const float* inputs[2] = {in.left.data() + done, in.right.data() + done};
        float* outputs[2] = {out.left.data() + done, out.right.data() + done};
        node.render(inputs, outputs, static_cast<int>(frames));
        done += frames;
    }
    return out;
}

// Plain direct form I, one band after the other over the whole signal.
std::vector<float> referenceCascade(const std::vector<float>& in,
                                    const std::vector<BiquadCoefficients>& bands) {
    std::vector<double> x(in.begin(), in.end());
    for (const auto& c : bands) {
        std::vector<double> y(x.size());
        for (std::size_t n = 0; n < x.size(); ++n) {
            const double x1 = n >= 1 ? x[n - 1] : 0.0;
            const double x2 = n >= 2 ? x[n - 2] : 0.0;
            const double y1 = n >= 1 ? y[n - 1] : 0.0;
            const double y2 = n >= 2 ? y[n - 2] : 0.0;
            y[n] = c.b0 * x[n] + c.b1 * x1 + c.b2 * x2 - c.a1 * y1 - c.a2 * y2;
        }
        x = std::move(y);
    }
    return {x.begin(), x.end()};
}

double maxDifference(const std::vector<float>& a, const std::vector<float>& b) {
    double worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double difference = std::fabs(static_cast<double>(a[i]) - b[i]);
        if (!(difference <= worst)) {
            worst = difference;  // NaN sticks
        }
    }
    return worst;
}

EQFilterParameters peak(float frequency, float octaves, float gain) {
    return {EQFilterType::parametric, frequency, octaves, gain, false};
}
EQFilterParameters lowShelf(float frequency, float gain) {
    return {EQFilterType::lowShelf, frequency, 1.0f, gain, false};
}
EQFilterParameters highShelf(float frequency, float gain) {
    return {EQFilterType::highShelf, frequency, 1.0f, gain, false};
}
EQFilterParameters bypassed(EQFilterParameters p) {
    p.bypass = true;
    return p;
}

TEST(EQNode, SteadyStateGainMatchesTheBandDesign) {
    struct Case {
        const char* name;
        EQFilterParameters band;
        double frequency;  // Hz
        double lowestDb;
        double highestDb;
    };
    const Case cases[] = {
        {"peak_1k_+12_at_1000Hz", peak(1000, 1, 12), 1000, 11.9, 12.1},
        {"peak_1k_+12_at_250Hz", peak(1000, 1, 12), 250, -0.1, 1.5},
        {"peak_1k_+12_at_4000Hz", peak(1000, 1, 12), 4000, -0.1, 1.5},
        {"lowShelf_80_+10_at_20Hz", lowShelf(80, 10), 20, 9.5, 10.5},
        {"lowShelf_80_+10_at_1000Hz", lowShelf(80, 10), 1000, -0.5, 0.5},
        {"highShelf_8k_-10_at_20000Hz", highShelf(8000, -10), 20000, -10.5, -9.5},
    };
    // Half a second to settle, then one second: whole periods of every integer frequency.
    const std::size_t settle = 24000;
    const std::size_t frames = settle + 48000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EQNode node;
        node.setBand(4, c.band);
        const Stereo in = sine(c.frequency, frames);
        const Stereo out = render(node, in, {128, 441});
        for (auto channel : {&Stereo::left, &Stereo::right}) {
            const double gainDb = testing::toDb(testing::rms(out.*channel, settle) /
                                                testing::rms(in.*channel, settle));
            EXPECT_GE(gainDb, c.lowestDb);
            EXPECT_LE(gainDb, c.highestDb);
            RecordProperty(std::string(c.name) + (channel == &Stereo::left ? "_L" : "_R"),
                           std::to_string(gainDb));
        }
    }
}

TEST(EQNode, CascadeMatchesReferenceBiquads) {
    struct Case {
        const char* name;
        std::array<EQFilterParameters, EQNode::kBandCount> bands;
    };
    const Case cases[] = {
        {"eleven peaks",
         {peak(32, 1, 6), peak(64, 1, -12), peak(125, 1, 3), peak(250, 1, -3), peak(500, 1, 12),
          peak(1000, 1, -6), peak(2000, 1, 9), peak(4000, 1, -9), peak(8000, 1, 4),
          peak(16000, 1, -4), peak(20000, 1, 12)}},
        {"shelves around a peak", {lowShelf(80, 10), peak(1000, 1.5f, -4), highShelf(8000, -10)}},
        {"sparse, odd and clamped bands",
         {bypassed(peak(100, 1, 6)),
          peak(60, 0.1f, 15),
          {},
          lowShelf(30, -18),
          bypassed(highShelf(5000, 3)),
          {},
          peak(30000, 2, 8),
          {EQFilterType::lowShelf, 200, 3, 6, false},
          {},
          {EQFilterType::highShelf, 3000, 0.5f, 5, false},
          peak(12000, 4, -20)}},
    };
    const Stereo in = noise(6000, 11);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EQNode node;
        node.setBands(c.bands);
        std::vector<BiquadCoefficients> active;
        for (const auto& band : c.bands) {
            if (EQNode::isActive(band)) {
                active.push_back(EQNode::designBand(band));
            }
        }
        const Stereo out = render(node, in, {1, 64, 441, 1024, 7});
        EXPECT_LT(maxDifference(out.left, referenceCascade(in.left, active)), 1e-5);
        EXPECT_LT(maxDifference(out.right, referenceCascade(in.right, active)), 1e-5);
    }
}

TEST(EQNode, PassesAudioBitExactWhenNoBandRuns) {
    struct Case {
        const char* name;
        EQFilterParameters band;
        bool nodeBypass;
    };
    const Case cases[] = {
        {"all bands at 0 dB", peak(1000, 1, 0), false},
        {"all shelves at 0 dB", lowShelf(80, 0), false},
        {"all bands bypassed", bypassed(peak(1000, 1, 12)), false},
        {"node bypassed", peak(1000, 1, 12), true},
    };
    const Stereo in = noise(3000, 5);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EQNode node;
        for (int i = 0; i < node.bandCount(); ++i) {
            node.setBand(i, c.band);
        }
        node.setBypass(c.nodeBypass);
        const Stereo out = render(node, in, {128, 441});
        EXPECT_EQ(out.left, in.left);
        EXPECT_EQ(out.right, in.right);
    }
}

TEST(EQNode, OnlyBandsWithGainAndNoBypassRun) {
    EQNode node;
    EXPECT_EQ(node.activeBandCount(), 0);
    node.setBand(0, peak(200, 1, 6));
    node.setBand(1, peak(900, 1, 0));
    node.setBand(2, bypassed(peak(3000, 1, 6)));
    node.setBand(3, lowShelf(100, -3));
    node.setBand(4, {EQFilterType::parametric, std::nanf(""), 1, 6, false});
    EXPECT_EQ(node.activeBandCount(), 2);

    // The 0 dB band leaves the sound exactly as without it.
    EQNode without;
    without.setBand(0, peak(200, 1, 6));
    without.setBand(3, lowShelf(100, -3));
    const Stereo in = noise(2000, 3);
    const Stereo out = render(node, in);
    const Stereo expected = render(without, in);
    EXPECT_EQ(out.left, expected.left);
    EXPECT_EQ(out.right, expected.right);
}

TEST(EQNode, OutOfRangeBandsStayUsable) {
    const Stereo in = noise(4096, 7);
    const auto renderBand = [&](const EQFilterParameters& band) {
        EQNode node;
        node.setBand(0, band);
        return render(node, in, {441});
    };
    // Frequencies stop at 0.49 x 48 kHz.
    EXPECT_EQ(renderBand(peak(30000, 1, 6)).left, renderBand(peak(23520, 1, 6)).left);

    const EQFilterParameters degenerate[] = {
        peak(0, 1, 6),      peak(-50, 1, 6),
        peak(1000, 0, 6),   peak(1000, -2, -6),
        lowShelf(0, 12),    {EQFilterType::highShelf, 8000, 0, -12, false},
        highShelf(1e9f, 6), {EQFilterType::lowShelf, 80, 100, 9, false},
    };
    for (const auto& band : degenerate) {
        SCOPED_TRACE(::testing::Message() << band.frequency << " Hz, " << band.bandwidth << " oct");
        const Stereo out = renderBand(band);
        const double worst = testing::peak(out.left);
        EXPECT_TRUE(std::isfinite(worst));
        EXPECT_LT(worst, 10.0);
    }
}

TEST(EQNode, ChangingAnActiveBandKeepsItsHistory) {
    // A 100 Hz tone through a 100 Hz peak; the gain moves by 1 dB where the right channel (a
    // cosine) peaks. Restarting the filter there would jump by about half the tone's
    // amplitude; a continuing one stays as smooth as the tone.
    EQNode node;
    node.setBand(0, peak(100, 1, 6));
    const Stereo in = sine(100, 48000);
    const Stereo before = render(node, in);
    const double steadyJump = testing::maxJump(before.right, 24000);

    node.setBand(0, peak(100, 1, 7));
    const Stereo after = render(node, in);
    std::vector<float> across(before.right.end() - 4800, before.right.end());
    across.insert(across.end(), after.right.begin(), after.right.begin() + 4800);
    EXPECT_LT(testing::maxJump(across), 1.5 * steadyJump);
}

// Three stretches of noise: bands 2 and 6 on, band 2 (or the whole node) paused, both on. Once
// each change has crossfaded and the filters have settled (30 ms), every stretch sounds as
// the bands that run in it.
TEST(EQNode, BandThatPausesAndReturnsSettlesToTheBandsThatRun) {
    const EQFilterParameters band2 = peak(500, 2, 9);
    const EQFilterParameters band6 = lowShelf(150, -6);
    struct Case {
        const char* name;
        void (*pause)(EQNode&);
        bool band6RunsInThePause;
    };
    const Case cases[] = {
        {"band bypassed", [](EQNode& n) { n.setBand(2, bypassed(n.band(2))); }, true},
        {"band at 0 dB", [](EQNode& n) { n.setBand(2, peak(500, 2, 0)); }, true},
        {"node bypassed", [](EQNode& n) { n.setBypass(true); }, false},
    };
    const std::size_t settle = 1440;
    const Stereo in = noise(3000, 9);
    const auto c2 = EQNode::designBand(band2);
    const auto c6 = EQNode::designBand(band6);
    const auto settled = [&](const std::vector<float>& out, const std::vector<float>& want) {
        return maxDifference(std::vector<float>(out.begin() + settle, out.end()),
                             std::vector<float>(want.begin() + settle, want.end()));
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EQNode node;
        node.setBand(2, band2);
        node.setBand(6, band6);
        const std::vector<float> before = render(node, in, {441}).left;
        c.pause(node);
        const std::vector<float> paused = render(node, in, {441}).left;
        node.setBypass(false);
        node.setBand(2, band2);
        const std::vector<float> resumed = render(node, in, {441}).left;

        const std::vector<float> both = referenceCascade(in.left, {c2, c6});
        EXPECT_LT(maxDifference(before, both), 1e-5);
        EXPECT_LT(
            settled(paused, c.band6RunsInThePause ? referenceCascade(in.left, {c6}) : in.left),
            1e-5);
        EXPECT_LT(settled(resumed, both), 1e-5);
    }
}

TEST(EQNode, SilentInputLetsTheFiltersRingOut) {
    EQNode withNull;
    EQNode withZeros;
    for (EQNode* node : {&withNull, &withZeros}) {
        node->setBand(0, peak(60, 0.2f, 18));
    }
    const Stereo in = noise(1024, 2);
    render(withNull, in);
    render(withZeros, in);

    std::vector<float> zeros(512, 0.0f), left(512), right(512), zeroLeft(512), zeroRight(512);
    float* outputs[2] = {left.data(), right.data()};
    float* zeroOutputs[2] = {zeroLeft.data(), zeroRight.data()};
    const float* zeroInputs[2] = {zeros.data(), zeros.data()};
    withNull.render(nullptr, outputs, 512);
    withZeros.render(zeroInputs, zeroOutputs, 512);
    EXPECT_EQ(left, zeroLeft);
    EXPECT_EQ(right, zeroRight);
    EXPECT_GT(testing::rms(left), 1e-3);
}

}  // namespace
}  // namespace qv
