#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "Audio/Platform/EQNode.h"

namespace qv {
namespace {

// The main thread flips band 0 between two filters while a render thread runs DC through the
// node. Their DC gains are 4 (+12 dB low shelf) and 1 (a dip at 10 kHz); a set mixed from
// the two would have a DC gain near 9000 or 0.0004. Every rendered sample must stay finite
// and near the range the two settings span, and the last setting must win.
TEST(ConcurrencyEQNode, CoefficientFlipsWhileRenderingNeverTear) {
    const EQFilterParameters shelf{EQFilterType::lowShelf, 100, 1, 12, false};
    const EQFilterParameters dip{EQFilterType::parametric, 10000, 1, -12, false};
    EQNode node;
    node.setBand(0, shelf);
    // A second, steady band rides along so sets hold more than one stage.
    node.setBand(5, {EQFilterType::highShelf, 15000, 1, -3, false});

    std::atomic<bool> done{false};
    std::atomic<long> renders{0};
    std::atomic<bool> outOfRange{false};
    std::atomic<float> last{0.0f};

    std::thread renderThread([&] {
        constexpr int kFrames = 64;
        std::vector<float> ones(kFrames, 1.0f), left(kFrames), right(kFrames);
        const float* inputs[2] = {ones.data(), ones.data()};
        float* outputs[2] = {left.data(), right.data()};
        while (!done.load()) {
            node.render(inputs, outputs, kFrames);
            // Past the first settling, transitions between the two stay within 0.99...4.2.
            if (renders.load() > 200) {
                for (int i = 0; i < kFrames; ++i) {
                    const float l = left[static_cast<std::size_t>(i)];
                    const float r = right[static_cast<std::size_t>(i)];
                    if (!(l > 0.9f && l < 4.5f) || r != l) {
                        outOfRange = true;
                    }
                }
            }
            last.store(left.back());
            renders.fetch_add(1);
        }
    });

    auto waitForRenders = [&](long count) {
        const long target = renders.load() + count;
        while (renders.load() < target) {
            std::this_thread::yield();
        }
    };
    waitForRenders(300);
    for (int flip = 0; flip < 20000; ++flip) {
        node.setBand(0, flip % 2 ? shelf : dip);
        if (flip % 64 == 0) {
            std::this_thread::yield();
        }
    }
    node.setBand(0, dip);
    waitForRenders(400);  // 0.5 s at 64 frames a render: settled
    done = true;
    renderThread.join();

    EXPECT_FALSE(outOfRange.load());
    // The dip passes DC unchanged and the high shelf barely touches it.
    EXPECT_NEAR(last.load(), 1.0f, 1e-3f);
}

}  // namespace
}  // namespace qv
