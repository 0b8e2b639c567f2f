#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "Foundation/Clock.h"
#include "Foundation/MainQueue.h"

namespace qv {

// A main queue in virtual time. Nothing runs by itself: tests and render mode move the clock
// with `advance` / `advanceTo` and every task due on the way runs, in time order (ties in
// posting order), on the calling thread, which counts as the main thread.
class VirtualMainQueue final : public MainQueue, public Clock {
  public:
    explicit VirtualMainQueue(Seconds start = 0.0) : now_(start) {}

    void post(std::function<void()> task) override;
    TaskHandle postAfter(Seconds delay, std::function<void()> task) override;
    TaskHandle scheduleRepeating(Seconds interval, std::function<void()> tick) override;
    Seconds now() const override;
    std::chrono::system_clock::time_point wallNow() const override;

    // Runs every task due at the current time, including those they post for now.
    // Returns the number of tasks run.
    int runUntilIdle();
    // Moves the clock forward by `dt` seconds, running every task due on the way.
    void advance(Seconds dt) { advanceTo(now() + dt); }
    void advanceTo(Seconds t);
    // Time of the earliest pending task that has not been cancelled.
    std::optional<Seconds> nextDueTime();
    // Number of pending tasks that have not been cancelled.
    std::size_t pendingCount();

  private:
    struct Entry {
        std::function<void()> task;
        TaskHandle handle;
        Seconds interval = 0;  // > 0 for repeating timers
    };
    using Key = std::pair<Seconds, std::uint64_t>;

    void enqueue(Seconds at, Entry entry);
    bool runOneDueBy(Seconds t);

    mutable std::mutex mutex_;
    Seconds now_;
    std::uint64_t sequence_ = 0;
    std::map<Key, Entry> entries_;
};

}  // namespace qv
