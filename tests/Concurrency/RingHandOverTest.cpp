#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "Audio/AudioRingBuffer.h"

namespace qv {
namespace {

// A writer on one thread and a reader on another, the reader sometimes lapped: whatever it
// reads is a run of consecutive frames, left and right from the same frame, and every frame
// written is either read or counted as lost.
TEST(RingHandOver, AReaderOnAnotherThreadReadsWholeRunsAndAccountsForEveryFrame) {
    AudioRingBuffer ring;
    constexpr std::int64_t kTotal = 2'000'000;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        std::vector<float> left(333), right(333);
        for (std::int64_t at = 0; at < kTotal; at += 333) {
            const auto n = std::min<std::int64_t>(333, kTotal - at);
            for (std::int64_t i = 0; i < n; ++i) {
                left[static_cast<std::size_t>(i)] = static_cast<float>(at + i);
                right[static_cast<std::size_t>(i)] = -static_cast<float>(at + i);
            }
            ring.write(left.data(), right.data(), n);
            if (at % 99900 == 0) {
                std::this_thread::yield();
            }
        }
        done = true;
    });
    std::vector<float> left(700), right(700);
    std::int64_t readFrames = 0;
    float last = -1.0f;
    bool broken = false;
    for (;;) {
        const bool finished = done.load();
        const std::int64_t got = ring.read(left.data(), right.data(), 700);
        for (std::int64_t i = 0; i < got; ++i) {
            const auto k = static_cast<std::size_t>(i);
            broken |= left[k] <= last || right[k] != -left[k];
            broken |= i > 0 && left[k] != left[k - 1] + 1.0f;
            last = left[k];
        }
        readFrames += got;
        if (finished && got == 0) {
            break;
        }
    }
    writer.join();
    EXPECT_FALSE(broken) << "a read mixed frames from different laps";
    EXPECT_EQ(static_cast<std::uint64_t>(readFrames) + ring.overrunFrames(),
              static_cast<std::uint64_t>(kTotal));
}

}  // namespace
}  // namespace qv
