#include <gtest/gtest.h>

#include <vector>

#include "Foundation/VirtualMainQueue.h"

namespace qv {
namespace {

TEST(VirtualMainQueue, RunsTasksInTimeOrderThenPostingOrder) {
    VirtualMainQueue queue;
    std::vector<int> order;
    queue.postAfter(0.3, [&] { order.push_back(3); });
    queue.post([&] { order.push_back(1); });
    queue.postAfter(0.1, [&] { order.push_back(2); });
    queue.post([&] { order.push_back(11); });
    queue.runUntilIdle();
    EXPECT_EQ(order, (std::vector<int>{1, 11}));
    queue.advance(1.0);
    EXPECT_EQ(order, (std::vector<int>{1, 11, 2, 3}));
    EXPECT_DOUBLE_EQ(queue.now(), 1.0);
}

TEST(VirtualMainQueue, TaskSeesItsOwnTimeAndMayPostMore) {
    VirtualMainQueue queue;
    std::vector<double> times;
    queue.postAfter(0.5, [&] {
        times.push_back(queue.now());
        queue.postAfter(0.25, [&] { times.push_back(queue.now()); });
    });
    queue.advance(2.0);
    EXPECT_EQ(times, (std::vector<double>{0.5, 0.75}));
}

TEST(VirtualMainQueue, CancelledTaskNeverRuns) {
    VirtualMainQueue queue;
    int runs = 0;
    auto handle = queue.postAfter(0.3, [&] { ++runs; });
    queue.advance(0.2);
    handle.cancel();
    queue.advance(1.0);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST(VirtualMainQueue, RepeatingTimerFiresEveryIntervalUntilCancelled) {
    VirtualMainQueue queue;
    std::vector<double> ticks;
    TaskHandle timer;
    timer = queue.scheduleRepeating(0.2, [&] {
        ticks.push_back(queue.now());
        if (ticks.size() == 3) {
            timer.cancel();
        }
    });
    queue.advance(5.0);
    ASSERT_EQ(ticks.size(), 3u);
    EXPECT_NEAR(ticks[0], 0.2, 1e-12);
    EXPECT_NEAR(ticks[1], 0.4, 1e-12);
    EXPECT_NEAR(ticks[2], 0.6, 1e-12);
    EXPECT_FALSE(queue.nextDueTime().has_value());
}

}  // namespace
}  // namespace qv
