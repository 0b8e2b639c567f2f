#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "Audio/Platform/Virtual/Signal.h"

namespace qv {
namespace {

std::vector<float> render(const Signal& signal, int channel, std::int64_t start, int frames,
                          double rate = 48000.0) {
    std::vector<float> out(static_cast<std::size_t>(frames), 123.0f);
    signal.render(channel, start, frames, rate, out.data());
    return out;
}

double rms(const std::vector<float>& x) {
    double sum = 0;
    for (float v : x) {
        sum += double(v) * v;
    }
    return std::sqrt(sum / double(x.size()));
}

double decibels(double gain) {
    return 20.0 * std::log10(gain);
}

TEST(Signal, SineHasItsPeakLevelAndFrequencyOnEveryChannel) {
    const Signal sine = Signal::sine(1000.0, -6.0);
    const auto left = render(sine, 0, 0, 48000);
    EXPECT_EQ(render(sine, 3, 0, 48000), left);

    const float peak = *std::max_element(left.begin(), left.end());
    EXPECT_NEAR(decibels(peak), -6.0, 0.01);
    int rising = 0;
    for (std::size_t i = 1; i < left.size(); ++i) {
        rising += left[i - 1] < 0 && left[i] >= 0;
    }
    EXPECT_NEAR(rising, 1000, 1);
}

TEST(Signal, ValueDependsOnlyOnTheFrame) {
    WavData wav{48000.0, {std::vector<float>(3000)}};
    for (std::size_t i = 0; i < wav.channels[0].size(); ++i) {
        wav.channels[0][i] = static_cast<float>(i % 17) / 17.0f;
    }
    struct Case {
        const char* name;
        Signal signal;
    };
    const std::vector<Case> cases = {{"sine", Signal::sine(441.0, -3.0)},
                                     {"noise", Signal::noise(-10.0, 42)},
                                     {"file", Signal::file(wav)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto whole = render(c.signal, 1, 1000, 3000);
        std::vector<float> pieces;
        std::int64_t frame = 1000;
        for (int size : {7, 128, 1, 2864}) {
            const auto piece = render(c.signal, 1, frame, size);
            pieces.insert(pieces.end(), piece.begin(), piece.end());
            frame += size;
        }
        EXPECT_EQ(pieces, whole);
    }
}

TEST(Signal, SinePhaseStaysExactHoursIntoTheProgram) {
    // 1 kHz at 48 kHz repeats every 48 frames; ten hours later it must still line up.
    const Signal sine = Signal::sine(1000.0, 0.0);
    const std::int64_t tenHours = 48000LL * 3600 * 10;
    const auto early = render(sine, 0, 96, 48);
    const auto late = render(sine, 0, tenHours, 48);
    for (std::size_t i = 0; i < early.size(); ++i) {
        EXPECT_NEAR(late[i], early[i], 1e-6) << i;
    }
}

TEST(Signal, NoiseIsDeterministicWhiteAndAtItsRmsLevel) {
    const Signal noise = Signal::noise(-20.0, 7);
    const auto a = render(noise, 0, 0, 48000);
    EXPECT_EQ(render(Signal::noise(-20.0, 7), 0, 0, 48000), a);
    EXPECT_NEAR(decibels(rms(a)), -20.0, 0.1);

    const auto otherChannel = render(noise, 1, 0, 48000);
    const auto otherSeed = render(Signal::noise(-20.0, 8), 0, 0, 48000);
    double correlation = 0;
    double lagCorrelation = 0;
    double mean = 0;
    for (std::size_t i = 0; i + 1 < a.size(); ++i) {
        correlation += double(a[i]) * otherChannel[i] + double(a[i]) * otherSeed[i];
        lagCorrelation += double(a[i]) * a[i + 1];
        mean += a[i];
    }
    const double power = rms(a) * rms(a) * double(a.size());
    EXPECT_LT(std::fabs(correlation) / power, 0.05);
    EXPECT_LT(std::fabs(lagCorrelation) / power, 0.05);
    EXPECT_LT(std::fabs(mean / double(a.size())), 0.01);
}

TEST(Signal, FilePlaysOnceThenSilence) {
    const Signal mono = Signal::file(WavData{48000.0, {{0.1f, 0.2f, 0.3f}}});
    const std::vector<float> expected = {0.1f, 0.2f, 0.3f, 0.0f, 0.0f};
    EXPECT_EQ(render(mono, 0, 0, 5), expected);
    EXPECT_EQ(render(mono, 1, 0, 5), expected);
    EXPECT_EQ(render(mono, 0, 100000, 2), (std::vector<float>{0.0f, 0.0f}));

    const Signal stereo = Signal::file(WavData{48000.0, {{0.1f, 0.2f}, {-0.1f, -0.2f}}});
    EXPECT_EQ(render(stereo, 0, 0, 3), (std::vector<float>{0.1f, 0.2f, 0.0f}));
    EXPECT_EQ(render(stereo, 1, 0, 3), (std::vector<float>{-0.1f, -0.2f, 0.0f}));
    EXPECT_EQ(render(Signal::silence(), 0, 0, 2), (std::vector<float>{0.0f, 0.0f}));
}

TEST(Signal, FileAtAnotherRateIsIndexedByTime) {
    const Signal slow = Signal::file(WavData{24000.0, {{0.0f, 1.0f, 0.5f}}});
    const auto up = render(slow, 0, 0, 8, 48000.0);
    const std::vector<float> expected = {0.0f, 0.5f, 1.0f, 0.75f, 0.5f};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_FLOAT_EQ(up[i], expected[i]) << i;
    }
    EXPECT_EQ(up[6], 0.0f);
    EXPECT_EQ(up[7], 0.0f);

    const Signal fast = Signal::file(WavData{96000.0, {{0.1f, 0.2f, 0.3f, 0.4f, 0.5f}}});
    const auto down = render(fast, 0, 0, 4, 48000.0);
    EXPECT_EQ(down, (std::vector<float>{0.1f, 0.3f, 0.5f, 0.0f}));
}

}  // namespace
}  // namespace qv
