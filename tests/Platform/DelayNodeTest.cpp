#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "Audio/Platform/DelayNode.h"

namespace qv {
namespace {

std::vector<float> noise(std::size_t frames, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    std::vector<float> x(frames);
    for (float& v : x) {
        v = sample(random);
    }
    return x;
}

// Renders `in` on both channels (the right one inverted) in blocks of `blockSize`; returns the
// left output and checks that the right one mirrors it.
std::vector<float> render(DelayNode& node, const std::vector<float>& in, int blockSize) {
    std::vector<float> inverted(in.size());
    std::transform(in.begin(), in.end(), inverted.begin(), [](float v) { return -v; });
    std::vector<float> left(in.size()), right(in.size());
    for (std::size_t done = 0; done < in.size();) {
        const auto frames = std::min(static_cast<std::size_t>(blockSize), in.size() - done);
        const float* inputs[2] = {in.data() + done, inverted.data() + done};
        float* outputs[2] = {left.data() + done, right.data() + done};
        node.render(inputs, outputs, static_cast<int>(frames));
        done += frames;
    }
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (right[i] != -left[i]) {
            ADD_FAILURE() << "channels differ at frame " << i;
            break;
        }
    }
    return left;
}

std::vector<float> shifted(const std::vector<float>& x, std::size_t frames) {
    std::vector<float> y(x.size(), 0.0f);
    std::copy(x.begin(), x.end() - static_cast<std::ptrdiff_t>(frames),
              y.begin() + static_cast<std::ptrdiff_t>(frames));
    return y;
}

void configure(DelayNode& node, double seconds, float feedback, float mix) {
    node.setDelayTime(seconds);
    node.setFeedback(feedback);
    node.setWetDryMix(mix);
}

TEST(DelayNode, WetOutputIsTheInputExactlyDelayedWhateverTheBlockSize) {
    const std::vector<float> in = noise(20000, 1);
    for (int blockSize : {128, 441, 1024, 1000, 1}) {
        SCOPED_TRACE(blockSize);
        DelayNode node;
        configure(node, 0.1, 0, 100);
        EXPECT_EQ(node.delayFrames(), 4800);
        EXPECT_EQ(render(node, in, blockSize), shifted(in, 4800));
    }
}

TEST(DelayNode, PassesInputBitExactWhenBypassedOrWithoutDelay) {
    struct Case {
        const char* name;
        double seconds;
        float feedback;
        float mix;
        bool bypass;
    };
    const Case cases[] = {
        {"bypassed", 0.1, 50, 50, true},
        {"no delay", 0.0, 0, 30, false},
        {"no delay, feedback set", 0.0, 70, 30, false},
        {"under half a frame", 0.00001, 0, 100, false},
    };
    const std::vector<float> in = noise(5000, 2);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DelayNode node;
        configure(node, c.seconds, c.feedback, c.mix);
        node.setBypass(c.bypass);
        EXPECT_EQ(render(node, in, 441), in);
    }
}

TEST(DelayNode, FeedbackRepeatsEachEchoScaled) {
    struct Case {
        float feedback;
        float second;
        float third;
    };
    for (const Case c : {Case{50, 0.5f, 0.25f}, Case{-50, -0.5f, 0.25f}, Case{0, 0, 0}}) {
        SCOPED_TRACE(c.feedback);
        DelayNode node;
        configure(node, 0.1, c.feedback, 100);
        std::vector<float> impulse(1024, 0.0f);
        impulse[0] = 1.0f;
        std::vector<float> out = render(node, impulse, 1024);
        // Then silence, as the graph gives a node nothing is connected to.
        std::vector<float> left(1024), right(1024);
        float* outputs[2] = {left.data(), right.data()};
        while (out.size() < 16000) {
            node.render(nullptr, outputs, 1024);
            out.insert(out.end(), left.begin(), left.end());
        }
        std::vector<float> expected(out.size(), 0.0f);
        expected[4800] = 1.0f;
        expected[9600] = c.second;
        expected[14400] = c.third;
        EXPECT_EQ(out, expected);
    }
}

TEST(DelayNode, MixBlendsDryAndDelayedHalfAndHalf) {
    DelayNode node;
    configure(node, 0.1, 0, 50);
    const std::vector<float> in = noise(12000, 3);
    const std::vector<float> out = render(node, in, 128);
    const std::vector<float> delayed = shifted(in, 4800);
    for (std::size_t i = 0; i < in.size(); ++i) {
        ASSERT_FLOAT_EQ(out[i], 0.5f * in[i] + 0.5f * delayed[i]) << i;
    }
}

TEST(DelayNode, DelayIsAtMostTwoSeconds) {
    DelayNode node;
    configure(node, 3.0, 0, 100);
    EXPECT_EQ(node.delayTime(), 2.0);
    EXPECT_EQ(node.delayFrames(), 96000);
    EXPECT_EQ(node.maxDelayFrames(), 96000);

    std::vector<float> in(100000, 0.0f);
    in[10] = 1.0f;
    const std::vector<float> out = render(node, in, 1024);
    EXPECT_EQ(out, shifted(in, 96000));
}

TEST(DelayNode, ChangingTheDelayMidStreamOnlyReadsWrittenFrames) {
    // A constant input: once two seconds have gone in, every delay reads a written 1.0.
    DelayNode node;
    configure(node, 2.0, 0, 100);
    std::mt19937 random(4);
    std::vector<float> ones(1024, 1.0f), left(1024), right(1024);
    const float* inputs[2] = {ones.data(), ones.data()};
    float* outputs[2] = {left.data(), right.data()};
    long frame = 0;
    bool allOnes = true;
    while (frame < 10 * 48000) {
        // The shortest and longest delays, and any whole frame count in between.
        const double choices[] = {0.0, 2.0, static_cast<double>(random() % 96001) / 48000.0};
        node.setDelayTime(choices[random() % 3]);
        const int frames = 1 + static_cast<int>(random() % 1024);
        node.render(inputs, outputs, frames);
        const long start = frame;
        frame += frames;
        if (start >= 2 * 48000) {
            allOnes = allOnes && std::all_of(left.begin(), left.begin() + frames,
                                             [](float v) { return v == 1.0f; });
        }
    }
    EXPECT_TRUE(allOnes);
}

}  // namespace
}  // namespace qv
