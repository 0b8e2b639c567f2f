#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <optional>

namespace qv {

// A bounded single-producer single-consumer queue, allocated once, wait-free on both sides.
// `push` fails when full; nothing ever blocks.
template <class T, std::size_t Capacity>
class SpscQueue {
    static_assert(Capacity >= 2 && (Capacity & (Capacity - 1)) == 0, "power of two");

  public:
    // Producer thread.
    bool push(const T& value) {
        const auto head = head_.load(std::memory_order_relaxed);
        const auto tail = tail_.load(std::memory_order_acquire);
        if (head - tail == Capacity) {
            return false;
        }
        slots_[head & (Capacity - 1)] = value;
        head_.store(head + 1, std::memory_order_release);
        return true;
    }

    // Consumer thread.
    std::optional<T> pop() {
        const auto tail = tail_.load(std::memory_order_relaxed);
        const auto head = head_.load(std::memory_order_acquire);
        if (head == tail) {
            return std::nullopt;
        }
        T value = slots_[tail & (Capacity - 1)];
        tail_.store(tail + 1, std::memory_order_release);
        return value;
    }

    // Consumer thread: the next value without removing it.
    const T* peek() const {
        const auto tail = tail_.load(std::memory_order_relaxed);
        const auto head = head_.load(std::memory_order_acquire);
        return head == tail ? nullptr : &slots_[tail & (Capacity - 1)];
    }

    std::size_t sizeApprox() const {
        return head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_acquire);
    }

  private:
    std::array<T, Capacity> slots_{};
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
};

}  // namespace qv
