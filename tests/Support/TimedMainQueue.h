#pragma once

// A main queue in virtual time that measures every task it runs, so tests can tell how long
// the main thread was held by one task at most.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <utility>

#include "Foundation/VirtualMainQueue.h"

namespace qv::testing {

class TimedMainQueue final : public MainQueue {
  public:
    void post(std::function<void()> task) override { queue_.post(timed(std::move(task))); }
    TaskHandle postAfter(Seconds delay, std::function<void()> task) override {
        return queue_.postAfter(delay, timed(std::move(task)));
    }
    TaskHandle scheduleRepeating(Seconds interval, std::function<void()> tick) override {
        return queue_.scheduleRepeating(interval, timed(std::move(tick)));
    }
    Seconds now() const override { return queue_.now(); }

    // Runs what is due on the calling thread, which counts as the main thread.
    void advance(Seconds dt) { queue_.advance(dt); }
    int runUntilIdle() { return queue_.runUntilIdle(); }

    // The longest task run since the last reset, in real seconds, and how many ran.
    double longestTask() const {
        std::lock_guard lock(mutex_);
        return longest_;
    }
    std::size_t tasksRun() const {
        std::lock_guard lock(mutex_);
        return count_;
    }
    void resetTimes() {
        std::lock_guard lock(mutex_);
        longest_ = 0;
        count_ = 0;
    }

  private:
    std::function<void()> timed(std::function<void()> task) {
        return [this, task = std::move(task)] {
            const auto start = std::chrono::steady_clock::now();
            task();
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            std::lock_guard lock(mutex_);
            longest_ = std::max(longest_, took.count());
            ++count_;
        };
    }

    VirtualMainQueue queue_;
    mutable std::mutex mutex_;
    double longest_ = 0;
    std::size_t count_ = 0;
};

}  // namespace qv::testing
