#include "Audio/ClockBridge.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

namespace qv {
namespace {

constexpr double kRate = 48000.0;
// The test signal: a 2 Hz quadrature pair, so every output frame tells which input frame it
// came from (to a ten-thousandth of a frame, modulo one cycle).
constexpr double kCycle = 24000.0;

// A capture at one clock and a bus at another, run on one true timeline. The capture delivers
// `capturePeriod` frames every capturePeriod / (rate × (1 + capturePpm/1e6)) seconds; the bus
// asks for `renderPeriod` frames at its own pace.
struct TwoClocks {
    double capturePpm = 0;
    double renderPpm = 0;
    int capturePeriod = 128;
    int renderPeriod = 128;
    // The capture stops delivering in [stallFrom, stallFrom + stallFor).
    double stallFrom = -1;
    double stallFor = 0;

    std::shared_ptr<AudioRingBuffer> ring = std::make_shared<AudioRingBuffer>();
    ClockBridge bridge{ring};

    // After the run: the latency in milliseconds per output block while audio flowed, the
    // largest deviation of one output frame's source from the frame after the previous one's,
    // and the frames that played silence after the first sound.
    struct Block {
        double time;
        double latencyMs;
        double ratio;
    };
    std::vector<Block> latency;
    double largestJump = 0;
    std::int64_t silentFrames = 0;

    void run(double seconds) {
        const double captureRate = kRate * (1 + capturePpm * 1e-6);
        const double renderRate = kRate * (1 + renderPpm * 1e-6);
        std::int64_t written = 0;
        std::int64_t rendered = 0;
        std::vector<float> inL(static_cast<std::size_t>(capturePeriod)), inR(inL.size());
        std::vector<float> outL(static_cast<std::size_t>(renderPeriod)), outR(outL.size());
        double lastSource = NAN;
        bool started = false;
        for (;;) {
            const double nextWrite = static_cast<double>(written + capturePeriod) / captureRate;
            const double nextRender = static_cast<double>(rendered) / renderRate;
            if (std::min(nextWrite, nextRender) > seconds) {
                break;
            }
            if (nextWrite <= nextRender) {
                const bool stalled = nextWrite >= stallFrom && nextWrite < stallFrom + stallFor;
                for (int i = 0; i < capturePeriod; ++i) {
                    const double phase = 2 * M_PI * static_cast<double>(written + i) / kCycle;
                    inL[static_cast<std::size_t>(i)] = static_cast<float>(std::sin(phase));
                    inR[static_cast<std::size_t>(i)] = static_cast<float>(std::cos(phase));
                }
                if (!stalled) {
                    ring->write(inL.data(), inR.data(), capturePeriod, nextWrite);
                }
                written += capturePeriod;
                continue;
            }
            const bool flowed = bridge.pull(outL.data(), outR.data(), renderPeriod, nextRender);
            for (int i = 0; i < renderPeriod; ++i) {
                const auto k = static_cast<std::size_t>(i);
                const double radius = std::hypot(outL[k], outR[k]);
                if (!flowed || radius < 0.99) {
                    silentFrames += started ? 1 : 0;
                    lastSource = NAN;
                    continue;
                }
                started = true;
                // Which input frame this is, near the one expected from the last.
                double source = std::atan2(outL[k], outR[k]) / (2 * M_PI) * kCycle;
                const double outputTime = static_cast<double>(rendered + i) / renderRate;
                const double approx = outputTime * captureRate;
                source += std::round((approx - source) / kCycle) * kCycle;
                if (!std::isnan(lastSource)) {
                    const double expected = lastSource + captureRate / renderRate;
                    largestJump = std::max(largestJump, std::fabs(source - expected));
                }
                lastSource = source;
                if (i == 0) {
                    latency.push_back(
                        {outputTime, (outputTime - source / captureRate) * 1000, bridge.ratio()});
                }
            }
            rendered += renderPeriod;
        }
    }

    // The latency's range over [from, to) seconds.
    std::pair<double, double> latencyRange(double from, double to) const {
        double low = 1e9, high = -1e9;
        for (const auto& b : latency) {
            if (b.time >= from && b.time < to) {
                low = std::min(low, b.latencyMs);
                high = std::max(high, b.latencyMs);
            }
        }
        return {low, high};
    }
};

TEST(ClockBridge, FollowsTheBusClockWithoutDroppingOrRepeatingAFrame) {
    struct Case {
        double capturePpm, renderPpm;
        int capturePeriod, renderPeriod;
    };
    for (const Case& c :
         {Case{150, 0, 128, 128}, Case{-200, 0, 441, 128}, Case{0, 300, 128, 64},
          Case{0, -150, 480, 1024}, Case{500, -500, 1024, 441}, Case{-500, 500, 64, 128}}) {
        TwoClocks clocks;
        clocks.capturePpm = c.capturePpm;
        clocks.renderPpm = c.renderPpm;
        clocks.capturePeriod = c.capturePeriod;
        clocks.renderPeriod = c.renderPeriod;
        clocks.run(180);
        const std::string which = std::to_string(c.capturePpm) + " ppm / " +
                                  std::to_string(c.renderPpm) + " ppm, periods " +
                                  std::to_string(c.capturePeriod) + "/" +
                                  std::to_string(c.renderPeriod);
        EXPECT_EQ(clocks.silentFrames, 0) << which;
        EXPECT_LT(clocks.largestJump, 0.01) << which;
        EXPECT_EQ(clocks.ring->underrunFrames(), 0u) << which;
        EXPECT_EQ(clocks.ring->overrunFrames(), 0u) << which;
        // Settled after ten seconds, then within ±1 ms of where it settled.
        const auto [low, high] = clocks.latencyRange(10, 180);
        const double settled = clocks.latencyRange(170, 180).first;
        EXPECT_GT(low, settled - 1.0) << which;
        EXPECT_LT(high, settled + 1.0) << which;
        const double expectedRatio = (1 + c.capturePpm * 1e-6) / (1 + c.renderPpm * 1e-6);
        EXPECT_NEAR(clocks.bridge.ratio(), expectedRatio, 60e-6) << which;
        // The smallest delay that runs: a capture period on its way, one delivery, two
        // requests and a little.
        EXPECT_LT(settled, (2 * c.capturePeriod + 2 * c.renderPeriod + 120) / 48.0) << which;
        double settledAt = 0;
        double lockedAt = 0;
        for (const auto& b : clocks.latency) {
            if (std::fabs(b.latencyMs - settled) > 1.0) {
                settledAt = b.time;
            }
            if (std::fabs(b.ratio - expectedRatio) > 10e-6) {
                lockedAt = b.time;
            }
        }
        RecordProperty("ratio_within_10ppm_after_s " + which, std::to_string(lockedAt));
        RecordProperty("latency_ms " + which, std::to_string(settled));
        RecordProperty("settled_after_s " + which, std::to_string(settledAt));
    }
}

TEST(ClockBridge, ClocksThatAgreeRunAtARatioOfExactlyOneAndPassTheAudioUnchanged) {
    for (int period : {64, 128, 441, 1024}) {
        TwoClocks clocks;
        clocks.capturePeriod = period;
        clocks.renderPeriod = period == 441 ? 128 : period;
        clocks.run(30);
        EXPECT_EQ(clocks.bridge.ratio(), 1.0) << period;
        EXPECT_EQ(clocks.silentFrames, 0) << period;
        // At a ratio of 1 the frames are copies: their source positions are whole frames.
        EXPECT_LT(clocks.largestJump, 1e-3) << period;
        const auto [low, high] = clocks.latencyRange(1, 30);
        EXPECT_LT(high - low, 0.001) << period;
    }
}

TEST(ClockBridge, ALateCaptureWidensTheMarginAPauseDoesNot) {
    // 30 ms late once: one dropout, a wider margin, then steady again.
    TwoClocks late;
    late.capturePpm = 100;
    late.stallFrom = 20;
    late.stallFor = 0.03;
    late.run(60);
    EXPECT_EQ(late.bridge.dropouts(), 1u);
    EXPECT_EQ(late.bridge.margin(), 2 * ClockBridge::kFirstMargin);
    const auto [low, high] = late.latencyRange(35, 60);
    EXPECT_LT(high - low, 2.0);
    EXPECT_LT(late.largestJump, 1.1) << "the gap itself aside, no jumps";

    // A second of nothing (a source that paused): no wider margin afterwards.
    TwoClocks paused;
    paused.stallFrom = 20;
    paused.stallFor = 1.0;
    paused.run(40);
    EXPECT_EQ(paused.bridge.dropouts(), 1u);
    EXPECT_EQ(paused.bridge.margin(), ClockBridge::kFirstMargin);
    EXPECT_TRUE(paused.bridge.isFlowing());
}

TEST(ClockBridge, AResetRingStartsAfreshAndSilently) {
    auto ring = std::make_shared<AudioRingBuffer>();
    ClockBridge bridge(ring);
    std::vector<float> in(128, 0.5f), outL(128), outR(128);
    double t = 0;
    for (int i = 0; i < 60; ++i, t += 128 / kRate) {
        ring->write(in.data(), in.data(), 128, t);
        bridge.pull(outL.data(), outR.data(), 128, t);
    }
    ASSERT_TRUE(bridge.isFlowing());
    ring->reset();
    EXPECT_FALSE(bridge.pull(outL.data(), outR.data(), 128, t));
    EXPECT_EQ(outL, std::vector<float>(128, 0.0f));
    EXPECT_FALSE(bridge.isFlowing());
    EXPECT_EQ(bridge.dropouts(), 0u) << "a reset is not a dropout";
}

}  // namespace
}  // namespace qv
