#include <gtest/gtest.h>

#include <cmath>

#include "Audio/AudioRingBuffer.h"
#include "Audio/Platform/Virtual/VirtualDriver.h"
#include "EngineFixture.h"
#include "tests/Support/LiveMixer.h"
#include "tests/Support/SignalAnalysis.h"

namespace qv {
namespace {

using testing::EngineTest;
using testing::outputDevice;

constexpr std::uint32_t kFrames = 12000;  // 0.25 s

// Deterministic noise in ±0.5 on both channels (left and right differ).
std::unique_ptr<AudioPCMBuffer> noise(std::uint32_t frames) {
    auto buffer = std::make_unique<AudioPCMBuffer>(internalFormat(), frames);
    buffer->setFrameLength(frames);
    std::uint32_t state = 12345;
    for (std::uint32_t i = 0; i < frames; ++i) {
        for (int c = 0; c < 2; ++c) {
            state = state * 1664525u + 1013904223u;
            buffer->floatChannelData()[c][i] = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
        }
    }
    return buffer;
}

enum class Path { player, source };

// Three buses on three devices; one or two channels feed them through the chosen path.
class RoutingTest : public EngineTest, public ::testing::WithParamInterface<Path> {
  protected:
    void SetUp() override {
        VirtualSetup setup = testing::standardSetup();
        setup.devices.push_back(outputDevice("desk", "Desk"));
        start(setup);
        for (int i = 1; i < 3; ++i) {
            engine->assignDevice(engine->availableOutputDevices.get()[static_cast<std::size_t>(i)],
                                 engine->addOutputBus());
        }
        hardware->enableRecording(0.25);
    }

    std::shared_ptr<InputChannel> addChannel(std::set<int> buses) {
        auto channel = engine->addInputChannel();
        channel->busAssignments = std::move(buses);
        if (GetParam() == Path::source) {
            testing::useSourceChains(*engine, channel);
        }
        return channel;
    }

    // Hands the channel 0.25 s of audio the way its path would receive it.
    void feed(InputChannel& channel, const AudioPCMBuffer& buffer) {
        if (GetParam() == Path::source) {
            for (auto& [busId, ring] : channel.busRingBuffers) {
                ring->write(buffer.floatChannelData()[0], buffer.floatChannelData()[1],
                            buffer.frameLength());
            }
        } else {
            engine->scheduleToAssignedBuses(buffer, channel, channel.linearGain());
        }
    }

    std::vector<std::vector<float>> render(const char* uid) {
        if (!rendered_) {
            VirtualTimeDriver(*hardware, queue).run(0.25);
            rendered_ = true;
        }
        return hardware->recording(idOf(uid));
    }

    bool rendered_ = false;
};

TEST_P(RoutingTest, CentredChannelIsBitExactOnItsBusesAndSilentElsewhere) {
    auto channel = addChannel({1, 3});
    auto input = noise(kFrames);
    feed(*channel, *input);
    for (const char* uid : {"speakers", "desk"}) {
        auto out = render(uid);
        for (int c = 0; c < 2; ++c) {
            for (std::size_t i = 0; i < kFrames; ++i) {
                ASSERT_EQ(out[static_cast<std::size_t>(c)][i], input->floatChannelData()[c][i])
                    << uid << " channel " << c << " frame " << i;
            }
        }
    }
    EXPECT_EQ(testing::peak(render("headphones")[0]), 0.0);
    EXPECT_EQ(testing::peak(render("headphones")[1]), 0.0);
}

TEST_P(RoutingTest, GainAndPanLaws) {
    struct Case {
        const char* label;
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
    const Case cases[] = {
        {"hard left", true, -1.0f, false, 0, false, 0, 1.0, 0.0, 1e-6},
        {"half right", true, 0.5f, false, 0, false, 0, 0.3827, 0.9239, 0.001},
        {"just off centre", true, 0.002f, false, 0, false, 0, 0.7060, 0.7082, 0.0005},
        {"gain and fader cancel", false, 0, true, 6.0f, true, -6.0f, 1.0, 1.0, 0.0},
        {"disabled gain counts as 0 dB", false, 0, false, -6.0f, false, 0, 1.0, 1.0, 0.0},
        {"gain -6 dB", false, 0, true, -6.0f, false, 0, 0.50119, 0.50119, 1e-4},
    };
    auto input = noise(kFrames);
    for (const Case& c : cases) {
        // A fresh mixer per case; the channel plays on bus 1 only.
        rendered_ = false;
        SetUp();
        auto channel = addChannel({1});
        channel->panEnabled = c.panEnabled;
        channel->pan = c.pan;
        channel->gainEnabled = c.gainEnabled;
        channel->inputGain = c.gain;
        channel->faderEnabled = c.faderEnabled;
        channel->faderLevel = c.fader;
        feed(*channel, *input);
        auto out = render("speakers");
        for (std::size_t i = 0; i < kFrames; i += 97) {
            const double inL = input->floatChannelData()[0][i];
            const double inR = input->floatChannelData()[1][i];
            ASSERT_NEAR(out[0][i], inL * c.left, std::fabs(inL) * c.tolerance + 1e-7) << c.label;
            ASSERT_NEAR(out[1][i], inR * c.right, std::fabs(inR) * c.tolerance + 1e-7) << c.label;
        }
        engine.reset();
    }
}

TEST_P(RoutingTest, MuteAndSoloSilenceAChannelEverywhere) {
    auto muted = addChannel({1, 2, 3});
    muted->isMuted = true;
    auto soloedButMuted = addChannel({1, 2, 3});
    soloedButMuted->isMuted = true;
    soloedButMuted->isSolo = true;
    auto soloed = addChannel({2});
    soloed->isSolo = true;
    auto unsoloed = addChannel({1, 2, 3});
    engine->updateSoloState();
    ASSERT_TRUE(engine->hasSoloActive());
    auto input = noise(kFrames);
    for (const auto& channel : {muted, soloedButMuted, soloed, unsoloed}) {
        feed(*channel, *input);
    }
    EXPECT_EQ(testing::peak(render("speakers")[0]), 0.0);
    EXPECT_EQ(testing::peak(render("desk")[1]), 0.0);
    // Only the soloed channel, only on its bus.
    auto phones = render("headphones");
    EXPECT_EQ(phones[0][100], input->floatChannelData()[0][100]);
}

TEST_P(RoutingTest, RemovingTheLastSoloedChannelLetsTheOthersPlay) {
    auto soloed = addChannel({1});
    soloed->isSolo = true;
    engine->updateSoloState();
    auto other = addChannel({1});
    engine->removeInputChannel(soloed);
    EXPECT_FALSE(engine->hasSoloActive());
    auto input = noise(kFrames);
    feed(*other, *input);
    EXPECT_EQ(render("speakers")[0][500], input->floatChannelData()[0][500]);
}

INSTANTIATE_TEST_SUITE_P(BothPaths, RoutingTest, ::testing::Values(Path::player, Path::source),
                         [](const auto& info) {
                             return info.param == Path::player ? "PlayerChain" : "SourceChain";
                         });

TEST_F(EngineTest, LeavingTheLowLatencyPathBringsThePlayerChainsBack) {
    start();
    auto channel = engine->addInputChannel();
    engine->teardownChannelAudio(channel);
    channel->useLowLatencyPath = true;
    engine->setupChannelSourceInBus(channel, engine->outputBusses.get()[0]);
    EXPECT_TRUE(log.contains("🚀 Low-latency source node created for Input 1 → Bus 1"));
    ASSERT_EQ(channel->busRingBuffers.size(), 1u);
    auto ring = channel->busRingBuffers.at(1);
    float one[4] = {1, 1, 1, 1};
    ring->write(one, one, 4);

    engine->stopInputCapture(channel);
    EXPECT_FALSE(channel->useLowLatencyPath);
    EXPECT_TRUE(channel->busSourceNodes.empty());
    EXPECT_TRUE(channel->busRingBuffers.empty());
    EXPECT_EQ(ring->availableFrames(), 0);  // reset on the way out
    ASSERT_EQ(channel->busPlayerNodes.size(), 1u);
    EXPECT_TRUE(channel->busPlayerNodes.at(1)->isPlaying());
    EXPECT_EQ(channel->busEQNodes.size(), 1u);
    auto routes = channel->routes.read();
    EXPECT_EQ(routes->players.size(), 1u);
}

}  // namespace
}  // namespace qv
