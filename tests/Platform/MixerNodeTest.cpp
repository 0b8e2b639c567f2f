#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "Audio/Platform/MixerNode.h"

namespace qv {
namespace {

constexpr int kRampFrames = 480;  // 10 ms at 48 kHz

// The gain the node applies, frame by frame: what it makes of a constant 1.0.
std::vector<float> gains(MixerNode& node, int frames, int period = 128) {
    std::vector<float> ones(static_cast<std::size_t>(period), 1.0f);
    std::vector<float> left(static_cast<std::size_t>(frames)), right(left.size());
    for (int done = 0; done < frames;) {
        const int n = std::min(period, frames - done);
        const float* inputs[2] = {ones.data(), ones.data()};
        float* outputs[2] = {left.data() + done, right.data() + done};
        node.render(inputs, outputs, n);
        done += n;
    }
    EXPECT_EQ(left, right);
    return left;
}

TEST(MixerNode, VolumeFollowsALinearRampThatEndsExactlyOnTheTarget) {
    struct Case {
        const char* name;
        void (*setup)(MixerNode&);   // before the first render
        void (*change)(MixerNode&);  // after 1000 frames, if any
        float from;  // the gain of the frames after the last of the two: starts from here...
        float to;    // ...and ramps here (from == to: no ramp)
    };
    const Case cases[] = {
        {"a fresh node plays at its volume at once", [](MixerNode& n) { n.setOutputVolume(0.25f); },
         nullptr, 0.25f, 0.25f},
        {"a node built silent fades in",
         [](MixerNode& n) {
             n.setOutputVolume(0.0f, false);
             n.setOutputVolume(0.8f);
         },
         nullptr, 0.0f, 0.8f},
        {"a change while playing ramps", [](MixerNode&) {},
         [](MixerNode& n) { n.setOutputVolume(0.1f); }, 1.0f, 0.1f},
        {"a jump while playing lands at once", [](MixerNode&) {},
         [](MixerNode& n) { n.setOutputVolume(0.5f, false); }, 0.5f, 0.5f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MixerNode node;
        c.setup(node);
        std::vector<float> gain = gains(node, 1000);
        if (c.change) {
            c.change(node);
            gain = gains(node, 100, 100);
            // Mid-ramp, the volume reads back as the target.
            EXPECT_EQ(node.outputVolume(), c.to);
            const std::vector<float> rest = gains(node, 1900, 441);
            gain.insert(gain.end(), rest.begin(), rest.end());
        }
        for (int k = 0; k < static_cast<int>(gain.size()); ++k) {
            const auto i = static_cast<std::size_t>(k);
            if (c.from != c.to && k + 1 < kRampFrames) {
                const float expected = c.from + (c.to - c.from) * static_cast<float>(k + 1) /
                                                    static_cast<float>(kRampFrames);
                ASSERT_NEAR(gain[i], expected, 1e-6) << k;
            } else {
                ASSERT_EQ(gain[i], c.to) << k;
            }
        }
    }
}

}  // namespace
}  // namespace qv
