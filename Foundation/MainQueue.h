#pragma once

#include <atomic>
#include <functional>
#include <memory>

namespace qv {

using Seconds = double;

// A cancellable delayed task or repeating timer. Cancelling a task that has not run yet
// keeps it from running; cancelling a timer stops its future firings. Copies share state.
class TaskHandle {
  public:
    TaskHandle() = default;

    void cancel() const {
        if (state_) {
            state_->cancelled.store(true, std::memory_order_release);
        }
    }
    bool isCancelled() const {
        return !state_ || state_->cancelled.load(std::memory_order_acquire);
    }
    bool isValid() const { return state_ != nullptr; }

    // Shared state between the handle and the queue entry.
    struct State {
        std::atomic<bool> cancelled{false};
    };
    static TaskHandle make() {
        TaskHandle h;
        h.state_ = std::make_shared<State>();
        return h;
    }

  private:
    std::shared_ptr<State> state_;
};

// The main thread's queue: every model change, engine operation, timer and delayed task runs
// here. `post` may be called from any non-real-time thread.
class MainQueue {
  public:
    virtual ~MainQueue() = default;

    // Runs `task` on the main thread after everything posted before it.
    virtual void post(std::function<void()> task) = 0;
    // Runs `task` on the main thread `delay` seconds from now unless cancelled first.
    virtual TaskHandle postAfter(Seconds delay, std::function<void()> task) = 0;
    // Runs `tick` every `interval` seconds until the handle is cancelled.
    virtual TaskHandle scheduleRepeating(Seconds interval, std::function<void()> tick) = 0;
    // Seconds on this queue's clock (monotonic).
    virtual Seconds now() const = 0;
};

}  // namespace qv
