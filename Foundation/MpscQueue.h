#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <optional>

namespace qv {

// A bounded multi-producer single-consumer queue, allocated once. Producers (audio threads)
// never block, allocate or lock: a push into a full queue fails at once. Values come out in
// the order their pushes completed their claim on a slot.
template <class T, std::size_t Capacity>
class MpscQueue {
    static_assert(Capacity >= 2 && (Capacity & (Capacity - 1)) == 0, "power of two");

  public:
    MpscQueue() {
        for (std::size_t i = 0; i < Capacity; ++i) {
            cells_[i].sequence.store(i, std::memory_order_relaxed);
        }
    }

    // Any thread.
    bool push(const T& value) {
        std::size_t position = enqueue_.load(std::memory_order_relaxed);
        for (;;) {
            Cell& cell = cells_[position & (Capacity - 1)];
            const std::size_t sequence = cell.sequence.load(std::memory_order_acquire);
            const auto diff =
                static_cast<std::ptrdiff_t>(sequence) - static_cast<std::ptrdiff_t>(position);
            if (diff == 0) {
                if (enqueue_.compare_exchange_weak(position, position + 1,
                                                   std::memory_order_relaxed)) {
                    cell.value = value;
                    cell.sequence.store(position + 1, std::memory_order_release);
                    return true;
                }
            } else if (diff < 0) {
                return false;  // full
            } else {
                position = enqueue_.load(std::memory_order_relaxed);
            }
        }
    }

    // The single consumer.
    std::optional<T> pop() {
        Cell& cell = cells_[dequeue_ & (Capacity - 1)];
        const std::size_t sequence = cell.sequence.load(std::memory_order_acquire);
        if (static_cast<std::ptrdiff_t>(sequence) - static_cast<std::ptrdiff_t>(dequeue_ + 1) < 0) {
            return std::nullopt;  // empty (or the next producer has not finished writing)
        }
        T value = cell.value;
        cell.sequence.store(dequeue_ + Capacity, std::memory_order_release);
        ++dequeue_;
        return value;
    }

    static constexpr std::size_t capacity() { return Capacity; }

  private:
    struct Cell {
        std::atomic<std::size_t> sequence{0};
        T value{};
    };
    std::array<Cell, Capacity> cells_;
    alignas(64) std::atomic<std::size_t> enqueue_{0};
    alignas(64) std::size_t dequeue_ = 0;
};

}  // namespace qv
