#include <gtest/gtest.h>

#include <random>

#include <array>
#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include "Audio/Platform/AudioGraph.h"
#include "Audio/Platform/DelayNode.h"
#include "Audio/Platform/EQNode.h"
#include "Audio/Platform/MixerNode.h"
#include "Audio/Platform/PlayerNode.h"
#include "Audio/Platform/SourceNode.h"
#include "Audio/Platform/Virtual/VirtualAudioHardware.h"
#include "Foundation/VirtualMainQueue.h"
#include "tests/Support/RealtimeAllocations.h"

namespace qv {
namespace {

std::unique_ptr<AudioPCMBuffer> rampBuffer(std::uint32_t frames, float start, float step = 1.0f) {
    auto buffer = std::make_unique<AudioPCMBuffer>(internalFormat(), frames);
    buffer->setFrameLength(frames);
    for (std::uint32_t i = 0; i < frames; ++i) {
        buffer->floatChannelData()[0][i] = start + step * static_cast<float>(i);
        buffer->floatChannelData()[1][i] = -(start + step * static_cast<float>(i));
    }
    return buffer;
}

struct Rendered {
    std::vector<float> left, right;
};

Rendered render(AudioGraph& graph, int frames) {
    Rendered r{std::vector<float>(static_cast<std::size_t>(frames)),
               std::vector<float>(static_cast<std::size_t>(frames))};
    float* channels[2] = {r.left.data(), r.right.data()};
    graph.renderOutput(channels, 2, frames);
    return r;
}

class AudioGraphTest : public ::testing::Test {
  protected:
    VirtualMainQueue queue;
    VirtualAudioHardware hardware{queue, VirtualSetup{}};
    AudioGraph graph{hardware};
};

TEST_F(AudioGraphTest, PlayerPlaysBuffersInOrderAcrossRenderBoundariesThenSilence) {
    auto player = std::make_shared<PlayerNode>();
    graph.attach(player);
    graph.connect(player, graph.mainMixerNode(), internalFormat());
    ASSERT_TRUE(player->scheduleBuffer(rampBuffer(100, 1.0f)));
    ASSERT_TRUE(player->scheduleBuffer(rampBuffer(50, 101.0f)));
    // Not playing yet: silence, and nothing is consumed.
    EXPECT_EQ(render(graph, 64).left, std::vector<float>(64, 0.0f));
    player->play();
    std::vector<float> left;
    for (int i = 0; i < 4; ++i) {
        auto r = render(graph, 64);
        left.insert(left.end(), r.left.begin(), r.left.end());
        EXPECT_EQ(r.right[0], -r.left[0]);
    }
    for (int i = 0; i < 150; ++i) {
        ASSERT_EQ(left[static_cast<std::size_t>(i)], static_cast<float>(i + 1)) << i;
    }
    for (std::size_t i = 150; i < left.size(); ++i) {
        ASSERT_EQ(left[i], 0.0f);
    }
}

TEST_F(AudioGraphTest, StopForgetsQueuedBuffersAndLaterBuffersStillPlay) {
    auto player = std::make_shared<PlayerNode>();
    graph.attach(player);
    graph.connect(player, graph.mainMixerNode(), internalFormat());
    player->play();
    player->scheduleBuffer(rampBuffer(256, 1.0f));
    render(graph, 64);
    player->stop();
    EXPECT_FALSE(player->isPlaying());
    player->scheduleBuffer(rampBuffer(32, 1000.0f));
    player->play();
    auto r = render(graph, 64);
    EXPECT_EQ(r.left[0], 1000.0f);
    EXPECT_EQ(r.left[31], 1031.0f);
    EXPECT_EQ(r.left[32], 0.0f);
}

// A producer whose 128-frame buffers arrive up to `jitter` periods late (in order) against a
// render thread pulling 128 frames a period: the player gaps at first, then has grown enough
// margin to play on without a gap. A regular producer never grows it.
TEST(PlayerNodeMarginTest, APlayerThatRunsDryGrowsItsMarginUntilTheGapsStop) {
    for (const int jitter : {0, 5}) {
        SCOPED_TRACE(jitter);
        constexpr int kPeriods = 4000;
        std::mt19937 random(7);
        std::vector<int> arrival(kPeriods);
        for (int k = 0; k < kPeriods; ++k) {
            // The first buffers come on time, so playback starts with the smallest margin.
            const int late = jitter > 0 && k >= 4 ? static_cast<int>(random() % (jitter + 1)) : 0;
            arrival[k] = std::max(k + late, k > 0 ? arrival[k - 1] : 0);
        }
        PlayerNode player;
        player.setMinimumQueuedFrames(256);
        player.play();
        std::vector<float> left(128), right(128);
        float* outputs[2] = {left.data(), right.data()};
        int delivered = 0;
        float expected = 0.0f;  // the last sample heard
        int gapsEarly = 0, gapsLate = 0;
        std::uint64_t skipped = 0;
        for (int period = 0; period < kPeriods; ++period) {
            while (delivered < kPeriods && arrival[delivered] == period) {
                ASSERT_TRUE(player.scheduleBuffer(rampBuffer(128, 1.0f + 128.0f * delivered)));
                ++delivered;
            }
            player.render(nullptr, outputs, 128);
            bool gap = false;
            for (float v : left) {
                if (v == 0.0f) {
                    gap = gap || expected > 0.0f;  // silence once playback has begun
                    continue;
                }
                // Nothing repeats; anything skipped was skipped on purpose to keep the delay down.
                ASSERT_GT(v, expected) << "samples repeated";
                skipped += static_cast<std::uint64_t>(v - expected - 1.0f);
                expected = v;
            }
            (period < kPeriods / 2 ? gapsEarly : gapsLate) += gap ? 1 : 0;
        }
        EXPECT_EQ(gapsLate, 0);
        EXPECT_EQ(skipped, player.trimmedFrames());
        if (jitter == 0) {
            EXPECT_EQ(gapsEarly, 0);
            EXPECT_EQ(player.addedMargin(), 0u);
        } else {
            EXPECT_GT(gapsEarly, 0);
            EXPECT_GT(player.addedMargin(), 0u);
            EXPECT_LE(player.addedMargin(), PlayerNode::kLargestMargin);
        }
    }
}

// A player that once got far ahead (a backlog after a stall) skips the spare audio once its
// queue has stayed above what it needs for a while, and then plays on without a break.
TEST(PlayerNodeMarginTest, ABacklogIsTrimmedOnceAndPlaybackGoesOn) {
    PlayerNode player;
    player.setMinimumQueuedFrames(256);
    player.play();
    std::vector<float> left(128), right(128);
    float* outputs[2] = {left.data(), right.data()};
    float next = 1.0f;
    for (int b = 0; b < 40; ++b) {  // the backlog
        ASSERT_TRUE(player.scheduleBuffer(rampBuffer(128, next)));
        next += 128;
    }
    float expected = 0.0f;
    int jumps = 0;
    const int periods = 3 * static_cast<int>(PlayerNode::kTrimWindow) / 128;
    for (int period = 0; period < periods; ++period) {
        ASSERT_TRUE(player.scheduleBuffer(rampBuffer(128, next)));
        next += 128;
        player.render(nullptr, outputs, 128);
        for (float v : left) {
            ASSERT_GT(v, expected) << "a gap or a repeat at period " << period;
            jumps += v != expected + 1.0f && expected > 0.0f ? 1 : 0;
            expected = v;
        }
    }
    EXPECT_EQ(jumps, 1);
    EXPECT_GT(player.trimmedFrames(), 40u * 128 - 2 * PlayerNode::kTrimSlack - 256);
    EXPECT_LE(player.queuedFrames(), 256u + PlayerNode::kTrimSlack + 128);
}

TEST_F(AudioGraphTest, MixerSumsItsInputsTimesVolumeAndDetachedNodesFallSilent) {
    auto constant = [](float value) {
        return std::make_shared<SourceNode>([value](float* const* out, int channels, int frames) {
            for (int c = 0; c < channels; ++c) {
                std::fill_n(out[c], frames, value);
            }
        });
    };
    auto a = constant(0.25f);
    auto b = constant(0.5f);
    auto mixer = std::make_shared<MixerNode>();
    graph.attach(a);
    graph.attach(b);
    graph.attach(mixer);
    graph.connect(a, *mixer, internalFormat());
    graph.connect(b, *mixer, internalFormat());
    graph.connect(mixer, graph.mainMixerNode(), internalFormat());
    mixer->setOutputVolume(0.501f);
    EXPECT_FLOAT_EQ(render(graph, 8).left[3], 0.75f * 0.501f);

    graph.detach(b);
    EXPECT_FALSE(graph.isAttached(b.get()));
    EXPECT_FLOAT_EQ(render(graph, 8).right[7], 0.25f * 0.501f);

    mixer->setOutputVolume(0.0f, false);
    EXPECT_EQ(render(graph, 8).left[0], 0.0f);
}

TEST_F(AudioGraphTest, ReconnectingASourceReplacesItsDestination) {
    auto source = std::make_shared<SourceNode>(
        [](float* const* out, int, int frames) { std::fill_n(out[0], frames, 1.0f); });
    auto m1 = std::make_shared<MixerNode>();
    auto m2 = std::make_shared<MixerNode>();
    for (auto node : std::vector<std::shared_ptr<AudioNode>>{source, m1, m2}) {
        graph.attach(node);
    }
    graph.connect(m1, graph.mainMixerNode(), internalFormat());
    graph.connect(m2, graph.mainMixerNode(), internalFormat());
    graph.connect(source, *m1, internalFormat());
    graph.connect(source, *m2, internalFormat());
    m1->setOutputVolume(0.0f);
    EXPECT_EQ(render(graph, 4).left[0], 1.0f);  // only through m2
}

TEST_F(AudioGraphTest, LongRequestsRenderInSlicesWithoutGaps) {
    auto player = std::make_shared<PlayerNode>();
    graph.attach(player);
    graph.connect(player, graph.mainMixerNode(), internalFormat());
    player->play();
    const int frames = kMaxRenderFrames + 1000;
    player->scheduleBuffer(rampBuffer(static_cast<std::uint32_t>(frames), 0.0f, 1e-4f));
    auto r = render(graph, frames);
    for (int i = 0; i < frames; ++i) {
        ASSERT_FLOAT_EQ(r.left[static_cast<std::size_t>(i)], static_cast<float>(i) * 1e-4f) << i;
    }
}

// A bus: a source through a mixer, an equaliser and a delay to the main mixer.
struct Bus {
    std::shared_ptr<SourceNode> source;
    std::shared_ptr<MixerNode> mixer = std::make_shared<MixerNode>();
    std::shared_ptr<EQNode> eq = std::make_shared<EQNode>();
    std::shared_ptr<DelayNode> delay = std::make_shared<DelayNode>();

    Bus(AudioGraph& graph, SourceNode::RenderBlock block)
        : source(std::make_shared<SourceNode>(std::move(block))) {
        for (const std::shared_ptr<AudioNode>& node :
             std::initializer_list<std::shared_ptr<AudioNode>>{source, mixer, eq, delay}) {
            graph.attach(node);
        }
        graph.connect(source, *mixer, internalFormat());
        graph.connect(mixer, *eq, internalFormat());
        graph.connect(eq, *delay, internalFormat());
        graph.connect(delay, graph.mainMixerNode(), internalFormat());
    }
};

// One impulse, then silence, into a delay that feeds back (each echo half the one before) and a
// boosting band: the tail falls towards zero, and would pass through the denormal numbers (slow
// on most CPUs) on its way, were they not flushed.
TEST_F(AudioGraphTest, DecayingTailsNeverBecomeDenormal) {
#if !(defined(__SSE__) || defined(__x86_64__))
    GTEST_SKIP() << "no denormal control on this CPU";
#endif
    Bus bus(graph, [first = true](float* const* out, int channels, int frames) mutable {
        for (int c = 0; c < channels; ++c) {
            std::fill_n(out[c], frames, 0.0f);
            out[c][0] = first ? 1.0f : 0.0f;
        }
        first = false;
    });
    bus.delay->setDelayTime(0.001);
    bus.delay->setFeedback(50.0f);
    bus.delay->setWetDryMix(100.0f);
    bus.eq->setBand(0, {EQFilterType::parametric, 2000.0f, 1.0f, 6.0f, false});
    long heard = 0;
    long denormal = 0;
    for (int period = 0; period < 100; ++period) {
        for (float v : render(graph, 480).left) {
            heard += v != 0.0f ? 1 : 0;
            denormal += std::fpclassify(v) == FP_SUBNORMAL ? 1 : 0;
        }
    }
    EXPECT_GT(heard, 1000);
    EXPECT_EQ(denormal, 0);
}

// Every control of a bus moved while it plays: the ramps and crossfades take nothing from the
// heap on the render thread.
TEST_F(AudioGraphTest, RampsAndCrossfadesNeverAllocateOnTheRenderThread) {
    Bus bus(graph, [phase = 0.0](float* const* out, int channels, int frames) mutable {
        for (int i = 0; i < frames; ++i) {
            for (int c = 0; c < channels; ++c) {
                out[c][i] = static_cast<float>(std::sin(phase));
            }
            phase += 2.0 * std::numbers::pi * 1000.0 / 48000.0;
        }
    });
    bus.delay->setDelayTime(0.1);
    bus.delay->setFeedback(30.0f);
    render(graph, 256);
    testing::RealtimeAllocations::reset();
    for (int period = 0; period < 200; ++period) {
        const bool odd = period % 2 != 0;
        switch (period % 5) {
            case 0:
                bus.mixer->setOutputVolume(odd ? 0.1f : 1.0f);
                break;
            case 1:
                bus.delay->setDelayTime(odd ? 0.0073 : 0.1);
                bus.delay->setWetDryMix(odd ? 40.0f : 100.0f);
                break;
            case 2:
                bus.eq->setBand(
                    3, {EQFilterType::parametric, 1000.0f, 1.0f, odd ? 12.0f : 0.0f, false});
                break;
            case 3:
                bus.eq->setBypass(odd);
                bus.delay->setBypass(!odd);
                break;
            default:
                break;
        }
        render(graph, 256);
    }
    EXPECT_EQ(testing::RealtimeAllocations::allocations.load(), 0);
    EXPECT_EQ(testing::RealtimeAllocations::releases.load(), 0);
}

}  // namespace
}  // namespace qv
