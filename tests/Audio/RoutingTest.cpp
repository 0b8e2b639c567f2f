#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "Audio/ChannelFeed.h"
#include "EngineFixture.h"
#include "tests/Support/SignalAnalysis.h"

namespace qv {
namespace {

using testing::EngineTest;
using testing::outputDevice;

constexpr std::size_t kFrames = 12000;  // 0.25 s compared
constexpr Seconds kRender = 0.35;

// Half a second of deterministic noise in ±0.5, left and right different, from frame 0.
WavData noise() {
    WavData wav;
    wav.sampleRate = 48000;
    wav.channels.assign(2, std::vector<float>(24000));
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < 24000; ++i) {
        for (auto& plane : wav.channels) {
            state = state * 1664525u + 1013904223u;
            plane[i] = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
        }
    }
    return wav;
}

// Two of the ways a channel reaches its buses: a 48 kHz stereo microphone on the low-latency
// path, and an application's capture stream.
enum class Path { application, microphone };
void PrintTo(Path path, std::ostream* out) {
    *out << (path == Path::application ? "application" : "microphone");
}

// The first frames of a channel's sound fade in.
constexpr std::size_t kFadeIn = ChannelBusInput::kRampFrames;

// Three buses on three devices; channels play the same noise through a path, at a period
// (frames per output cycle and per capture buffer).
class RoutingFixture : public EngineTest {
  protected:
    virtual Path path() const = 0;
    virtual int period() const = 0;

    void SetUp() override {
        input = noise();
        VirtualSetup setup = testing::standardSetup();
        setup.devices.push_back(outputDevice("desk", "Desk"));
        VirtualDeviceSpec line;
        line.uid = "line";
        line.name = "Line In";
        line.input = VirtualInputSpec{2, Signal::file(input)};
        setup.devices.push_back(line);
        setup.apps = {{"org.example.Noise", "Noise", Signal::file(input)}};
        start(setup);
        hardware->setPeriodFrames(period());
        engine->bufferSize = static_cast<std::uint32_t>(period());
        engine->powerMode = PowerMode::alwaysOn;
        for (int i = 1; i < 3; ++i) {
            engine->assignDevice(engine->availableOutputDevices.get()[static_cast<std::size_t>(i)],
                                 engine->addOutputBus());
        }
    }

    std::shared_ptr<InputChannel> addChannel(std::set<int> buses) {
        auto channel = engine->addInputChannel();
        channel->busAssignments = std::move(buses);
        if (path() == Path::microphone) {
            engine->setInputSource(channel, engine->availableInputDevices.get()[1]);
            EXPECT_TRUE(channelState(*channel).isLowLatency);
        } else {
            engine->setInputSource(channel, engine->capturableApps.get()[0]);
            queue.runUntilIdle();
            EXPECT_TRUE(channelState(*channel).hasAppCapture);
        }
        return channel;
    }

    std::vector<std::vector<float>> played(const char* uid) {
        if (!rendered_) {
            render("speakers", kRender);
            rendered_ = true;
        }
        return hardware->recording(idOf(uid));
    }

    // Where the output plays the input: output frame i + lag is input frame i, for i from
    // `first` on. The hand-over starts with the newest frames it has, faded in, so the noise
    // is found by its shape a little after it starts.
    struct Alignment {
        std::size_t lag = 0;
        std::size_t first = 0;
    };
    Alignment align(const std::vector<float>& out, double scale = 1.0) const {
        const auto& in = input.channels[0];
        std::size_t start = 0;
        while (start < out.size() && out[start] == 0.0f) {
            ++start;
        }
        const std::size_t probe = start + kFadeIn + 64;
        for (std::size_t j = 0; j + 16 < in.size() && probe + 16 < out.size(); ++j) {
            bool same = true;
            for (std::size_t k = 0; k < 16 && same; ++k) {
                same = std::fabs(out[probe + k] - in[j + k] * scale) <= 1e-3 * std::fabs(scale);
            }
            if (same && probe >= j) {
                const std::size_t lag = probe - j;
                return {lag, start + kFadeIn - std::min(start + kFadeIn, lag)};
            }
        }
        ADD_FAILURE() << "the input is not in the output";
        return {0, out.size()};
    }

    WavData input;
    bool rendered_ = false;
};

class RoutingTest : public RoutingFixture,
                    public ::testing::WithParamInterface<std::tuple<Path, int>> {
  protected:
    Path path() const override { return std::get<0>(GetParam()); }
    int period() const override { return std::get<1>(GetParam()); }
};

TEST_P(RoutingTest, CentredChannelIsBitExactOnItsBusesAndSilentElsewhere) {
    addChannel({1, 3});
    for (const char* uid : {"speakers", "desk"}) {
        auto out = played(uid);
        const auto [lag, first] = align(out[0]);
        ASSERT_LE(lag, static_cast<std::size_t>(4 * period() + 512)) << uid;
        for (int c = 0; c < 2; ++c) {
            const auto& in = input.channels[static_cast<std::size_t>(c)];
            for (std::size_t i = first; i < kFrames; ++i) {
                ASSERT_EQ(out[static_cast<std::size_t>(c)][i + lag], in[i])
                    << uid << " channel " << c << " frame " << i;
            }
        }
    }
    EXPECT_EQ(testing::peak(played("headphones")[0]), 0.0);
    EXPECT_EQ(testing::peak(played("headphones")[1]), 0.0);
}

TEST_P(RoutingTest, MuteAndSoloSilenceAChannelEverywhere) {
    auto muted = addChannel({1, 2, 3});
    muted->isMuted = true;
    auto soloedButMuted = addChannel({1, 2, 3});
    soloedButMuted->isMuted = true;
    soloedButMuted->isSolo = true;
    auto soloed = addChannel({2});
    soloed->isSolo = true;
    addChannel({1, 2, 3});
    ASSERT_TRUE(engine->hasSoloActive());
    EXPECT_EQ(testing::peak(played("speakers")[0]), 0.0);
    EXPECT_EQ(testing::peak(played("desk")[1]), 0.0);
    // Only the soloed channel, only on its bus.
    auto phones = played("headphones");
    const auto [lag, first] = align(phones[0]);
    for (std::size_t i = first; i < kFrames; i += 101) {
        ASSERT_EQ(phones[0][i + lag], input.channels[0][i]) << i;
    }
}

TEST_P(RoutingTest, RemovingTheLastSoloedChannelLetsTheOthersPlay) {
    auto soloed = addChannel({1});
    soloed->isSolo = true;
    auto other = addChannel({1});
    engine->removeInputChannel(soloed);
    EXPECT_FALSE(engine->hasSoloActive());
    auto out = played("speakers");
    const auto [lag, first] = align(out[0]);
    EXPECT_EQ(out[0][first + 500 + lag], input.channels[0][first + 500]);
}

std::string pathName(Path path, int period);

INSTANTIATE_TEST_SUITE_P(PathsAndPeriods, RoutingTest,
                         ::testing::Combine(::testing::Values(Path::application, Path::microphone),
                                            ::testing::Values(64, 128, 441, 1024)),
                         [](const auto& info) {
                             return pathName(std::get<0>(info.param), std::get<1>(info.param));
                         });

// The gain and pan laws, one case per test, on both paths and at every period.
struct LawCase {
    const char* name;
    bool panEnabled;
    float pan;
    bool gainEnabled;
    float gain;
    bool faderEnabled;
    float fader;
    double left;
    double right;
    double tolerance;
};
constexpr LawCase kLaws[] = {
    {"HardLeft", true, -1.0f, false, 0, false, 0, 1.0, 0.0, 1e-6},
    {"HalfRight", true, 0.5f, false, 0, false, 0, 0.3827, 0.9239, 0.001},
    {"JustOffCentre", true, 0.002f, false, 0, false, 0, 0.7060, 0.7082, 0.0005},
    {"GainAndFaderCancel", false, 0, true, 6.0f, true, -6.0f, 1.0, 1.0, 0.0},
    {"DisabledGainCountsAsZeroDb", false, 0, false, -6.0f, false, 0, 1.0, 1.0, 0.0},
    {"GainMinus6Db", false, 0, true, -6.0f, false, 0, 0.50119, 0.50119, 1e-4},
};

class RoutingLawTest : public RoutingFixture,
                       public ::testing::WithParamInterface<std::tuple<Path, int, std::size_t>> {
  protected:
    Path path() const override { return std::get<0>(GetParam()); }
    int period() const override { return std::get<1>(GetParam()); }
    const LawCase& law() const { return kLaws[std::get<2>(GetParam())]; }
};

TEST_P(RoutingLawTest, GainAndPanLaws) {
    const LawCase& c = law();
    auto channel = addChannel({1});
    channel->panEnabled = c.panEnabled;
    channel->pan = c.pan;
    channel->gainEnabled = c.gainEnabled;
    channel->inputGain = c.gain;
    channel->faderEnabled = c.faderEnabled;
    channel->faderLevel = c.fader;
    auto out = played("speakers");
    const auto [lag, first] = align(out[0], c.left);
    for (std::size_t i = first; i < kFrames; i += 97) {
        const double inL = input.channels[0][i];
        const double inR = input.channels[1][i];
        ASSERT_NEAR(out[0][i + lag], inL * c.left, std::fabs(inL) * c.tolerance + 1e-7) << i;
        ASSERT_NEAR(out[1][i + lag], inR * c.right, std::fabs(inR) * c.tolerance + 1e-7) << i;
    }
}

std::string pathName(Path path, int period) {
    return std::string(path == Path::application ? "Application" : "Microphone") +
           std::to_string(period);
}

INSTANTIATE_TEST_SUITE_P(PathsAndPeriods, RoutingLawTest,
                         ::testing::Combine(::testing::Values(Path::application, Path::microphone),
                                            ::testing::Values(64, 128, 441, 1024),
                                            ::testing::Range<std::size_t>(0, std::size(kLaws))),
                         [](const auto& info) {
                             return pathName(std::get<0>(info.param), std::get<1>(info.param)) +
                                    kLaws[std::get<2>(info.param)].name;
                         });

TEST_F(EngineTest, ASourceThatFollowsTheLowLatencyPathPlaysOnTheSameChains) {
    VirtualSetup setup = testing::standardSetup();
    VirtualDeviceSpec line;
    line.uid = "line";
    line.name = "Line In";
    line.input = VirtualInputSpec{2, Signal::sine(3000, -20)};
    setup.devices.push_back(line);
    setup.apps = {{"org.example.Player", "Player", Signal::sine(1000, -20)}};
    start(setup);
    engine->powerMode = PowerMode::alwaysOn;
    auto channel = engine->addInputChannel();
    engine->setInputSource(channel, engine->availableInputDevices.get()[1]);
    EXPECT_TRUE(log.contains("🚀 Low-latency source node created for Input 1 → Bus 1"));
    auto state = channelState(*channel);
    ASSERT_TRUE(state.isLowLatency && state.bus(1));

    engine->setInputSource(channel, engine->capturableApps.get()[0]);
    queue.runUntilIdle();
    state = channelState(*channel);
    EXPECT_FALSE(state.isLowLatency);
    ASSERT_TRUE(state.bus(1));
    EXPECT_TRUE(state.bus(1)->eq.has_value());
    // The application plays on the same chain, and the microphone no more.
    const auto left = render("speakers", 0.5)[0];
    EXPECT_NEAR(testing::toDb(testing::toneAmplitude(left, 1000, 48000, 12000, 24000)), -20.0, 0.1);
    EXPECT_LT(testing::toDb(testing::toneAmplitude(left, 3000, 48000, 12000, 24000)), -80.0);
}

}  // namespace
}  // namespace qv
