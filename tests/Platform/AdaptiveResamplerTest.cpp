#include "Audio/Platform/AdaptiveResampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace qv {
namespace {

constexpr double kRate = 48000.0;

// Pushes what the next pull needs from `input` (starting at `*consumed`), then pulls.
void step(AdaptiveResampler& r, const std::vector<float>& input, std::size_t* consumed, float* left,
          float* right, int frames) {
    const int needed = r.inputNeeded(frames);
    for (int i = 0; i < needed; ++i) {
        const float x = *consumed + i < input.size() ? input[*consumed + i] : 0.0f;
        r.inputLeft()[i] = x;
        r.inputRight()[i] = -x;
    }
    r.commitInput(needed);
    *consumed += static_cast<std::size_t>(needed);
    r.pull(left, right, frames);
}

TEST(AdaptiveResampler, AtARatioOfOneTheInputPassesBitForBit) {
    std::vector<float> input(20000);
    for (std::size_t i = 0; i < input.size(); ++i) {
        input[i] = static_cast<float>(std::sin(0.37 * static_cast<double>(i)) * 0.9);
    }
    for (int period : {64, 128, 441, 1024}) {
        AdaptiveResampler r(1024);
        std::size_t consumed = 0;
        std::vector<float> left(static_cast<std::size_t>(period)), right(left.size());
        std::size_t out = 0;
        while (out + static_cast<std::size_t>(period) < 16000) {
            step(r, input, &consumed, left.data(), right.data(), period);
            for (int i = 0; i < period; ++i) {
                ASSERT_EQ(left[static_cast<std::size_t>(i)],
                          input[out + static_cast<std::size_t>(i)])
                    << "period " << period << " frame " << out + static_cast<std::size_t>(i);
                ASSERT_EQ(right[static_cast<std::size_t>(i)],
                          -input[out + static_cast<std::size_t>(i)]);
            }
            out += static_cast<std::size_t>(period);
        }
        EXPECT_EQ(r.heldFrames(), AdaptiveResampler::kLookahead) << period;
    }
}

// The output against the ideal: output frame n is the input signal at n × ratio.
double snrDb(double frequency, double ratio, int period) {
    const auto length = static_cast<std::size_t>(3 * kRate);
    std::vector<float> input(length);
    for (std::size_t i = 0; i < length; ++i) {
        input[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * frequency * i / kRate));
    }
    AdaptiveResampler r(1024);
    r.setRatio(ratio);
    std::size_t consumed = 0;
    std::vector<float> left(static_cast<std::size_t>(period)), right(left.size());
    double signal = 0, noise = 0;
    for (std::size_t out = 0; out + static_cast<std::size_t>(period) < length * 0.9;
         out += static_cast<std::size_t>(period)) {
        step(r, input, &consumed, left.data(), right.data(), period);
        for (int i = 0; i < period; ++i) {
            const double n = static_cast<double>(out) + i;
            if (n < 1000) {
                continue;  // the filter's start from silence
            }
            const double ideal = 0.5 * std::sin(2 * M_PI * frequency * n * ratio / kRate);
            const double e = left[static_cast<std::size_t>(i)] - ideal;
            signal += ideal * ideal;
            noise += e * e;
        }
    }
    return 10 * std::log10(signal / noise);
}

TEST(AdaptiveResampler, FollowsTheIdealSignalAtSmallRatioOffsets) {
    struct Case {
        double frequency;
        double ratio;
        double minimumDb;
    };
    for (const Case& c :
         {Case{1000, 1 + 500e-6, 120}, Case{1000, 1 - 500e-6, 120}, Case{1000, 1 + 2e-3, 120},
          Case{10000, 1 + 500e-6, 110}, Case{18000, 1 - 500e-6, 100}}) {
        const double snr = snrDb(c.frequency, c.ratio, 128);
        EXPECT_GT(snr, c.minimumDb) << c.frequency << " Hz at " << c.ratio;
        RecordProperty("snr_" + std::to_string(static_cast<int>(c.frequency)) + "_" +
                           std::to_string(static_cast<int>((c.ratio - 1) * 1e6)) + "ppm",
                       std::to_string(snr));
    }
}

// A ratio that changes every block: the output stays one smooth signal, and the input it takes
// is what the ratios add up to.
TEST(AdaptiveResampler, ARatioChangedEveryBlockLeavesNoStepAndConsumesWhatItSays) {
    const auto length = static_cast<std::size_t>(2 * kRate);
    std::vector<float> input(length);
    for (std::size_t i = 0; i < length; ++i) {
        input[i] = static_cast<float>(0.8 * std::sin(2 * M_PI * 1000.0 * i / kRate));
    }
    AdaptiveResampler r(1024);
    std::size_t consumed = 0;
    std::vector<float> left(128), right(128);
    double expectedPosition = 0;
    float previous = 0;
    double largestStep = 0;
    for (int block = 0; block < 600; ++block) {
        const double ratio = 1 + 0.0019 * std::sin(block * 0.05);
        r.setRatio(ratio);
        step(r, input, &consumed, left.data(), right.data(), 128);
        expectedPosition += ratio * 128;
        for (std::size_t i = 0; i < 128; ++i) {
            if (block > 0 || i > 0) {
                largestStep = std::max(largestStep, std::fabs(double(left[i]) - previous));
            }
            previous = left[i];
        }
    }
    const double sineStep = 0.8 * 2 * M_PI * 1000.0 / kRate * 1.002;
    EXPECT_LT(largestStep, sineStep + 1e-3);
    const double position = static_cast<double>(consumed) - r.heldFrames();
    EXPECT_NEAR(position, expectedPosition, 1e-6);
}

}  // namespace
}  // namespace qv
