#pragma once

#include <functional>
#include <memory>
#include <type_traits>

#include "Foundation/MainQueue.h"

namespace qv {

// Main-queue work that belongs to an owner: tasks, delayed tasks, timers and callbacks handed
// out through a scope run only while the scope lives, so an owner that goes away never has a
// late task call into it. Owners keep one as a member. Main thread (posting also from any
// non-real-time thread).
class TaskScope {
  public:
    explicit TaskScope(MainQueue& queue) : queue_(queue) {}
    TaskScope(const TaskScope&) = delete;
    TaskScope& operator=(const TaskScope&) = delete;

    void post(std::function<void()> task) const { queue_.post(guard(std::move(task))); }
    TaskHandle postAfter(Seconds delay, std::function<void()> task) const {
        return queue_.postAfter(delay, guard(std::move(task)));
    }
    TaskHandle scheduleRepeating(Seconds interval, std::function<void()> tick) const {
        return queue_.scheduleRepeating(interval, guard(std::move(tick)));
    }

    // `f` as a callback that does nothing once the scope is gone. Call it on the main thread.
    // The arguments are named: guard<int, bool>(...).
    template <typename... Args>
    std::function<void(Args...)> guard(std::type_identity_t<std::function<void(Args...)>> f) const {
        return [alive = std::weak_ptr<const char>(alive_), f = std::move(f)](Args... args) {
            if (!alive.expired()) {
                f(args...);
            }
        };
    }
    std::function<void()> guard(std::function<void()> f) const { return guard<>(std::move(f)); }

    MainQueue& queue() const { return queue_; }
    Seconds now() const { return queue_.now(); }

  private:
    MainQueue& queue_;
    std::shared_ptr<const char> alive_ = std::make_shared<const char>();
};

}  // namespace qv
