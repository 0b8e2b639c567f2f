#include "Foundation/VirtualMainQueue.h"

namespace qv {

void VirtualMainQueue::post(std::function<void()> task) {
    Seconds at;
    {
        std::lock_guard lock(mutex_);
        at = now_;
    }
    enqueue(at, Entry{std::move(task), TaskHandle::make(), 0});
}

TaskHandle VirtualMainQueue::postAfter(Seconds delay, std::function<void()> task) {
    auto handle = TaskHandle::make();
    Seconds at;
    {
        std::lock_guard lock(mutex_);
        at = now_ + (delay > 0 ? delay : 0);
    }
    enqueue(at, Entry{std::move(task), handle, 0});
    return handle;
}

TaskHandle VirtualMainQueue::scheduleRepeating(Seconds interval, std::function<void()> tick) {
    auto handle = TaskHandle::make();
    Seconds at;
    {
        std::lock_guard lock(mutex_);
        at = now_ + interval;
    }
    enqueue(at, Entry{std::move(tick), handle, interval > 0 ? interval : 1e-3});
    return handle;
}

Seconds VirtualMainQueue::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

std::chrono::system_clock::time_point VirtualMainQueue::wallNow() const {
    // Virtual time starts at the Unix epoch.
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::duration<double>(now())));
}

void VirtualMainQueue::enqueue(Seconds at, Entry entry) {
    std::lock_guard lock(mutex_);
    entries_.emplace(Key{at, sequence_++}, std::move(entry));
}

bool VirtualMainQueue::runOneDueBy(Seconds t) {
    Entry entry;
    {
        std::lock_guard lock(mutex_);
        auto it = entries_.begin();
        while (it != entries_.end() && it->second.handle.isCancelled()) {
            it = entries_.erase(it);
        }
        if (it == entries_.end() || it->first.first > t) {
            return false;
        }
        if (it->first.first > now_) {
            now_ = it->first.first;
        }
        entry = std::move(it->second);
        entries_.erase(it);
    }
    if (entry.interval > 0) {
        // Timers keep their period however long a firing takes.
        Seconds next;
        {
            std::lock_guard lock(mutex_);
            next = now_ + entry.interval;
        }
        Entry again{entry.task, entry.handle, entry.interval};
        enqueue(next, std::move(again));
    }
    entry.task();
    return true;
}

int VirtualMainQueue::runUntilIdle() {
    int count = 0;
    while (runOneDueBy(now())) {
        ++count;
    }
    return count;
}

void VirtualMainQueue::advanceTo(Seconds t) {
    while (runOneDueBy(t)) {
    }
    std::lock_guard lock(mutex_);
    if (t > now_) {
        now_ = t;
    }
}

std::optional<Seconds> VirtualMainQueue::nextDueTime() {
    std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->second.handle.isCancelled()) {
            it = entries_.erase(it);
        } else {
            return it->first.first;
        }
    }
    return std::nullopt;
}

std::size_t VirtualMainQueue::pendingCount() {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (auto& [key, entry] : entries_) {
        if (!entry.handle.isCancelled()) {
            ++n;
        }
    }
    return n;
}

}  // namespace qv
