#pragma once

#include <atomic>
#include <memory>
#include <vector>

namespace qv {

// A value published by the main thread and read by audio threads without locks, allocation or
// freeing. Readers pin the current value for the duration of a read; replaced values are
// retired and freed on the main thread once no reader can still see them.
template <class T>
class RcuCell {
  public:
    RcuCell() = default;
    explicit RcuCell(std::unique_ptr<T> initial) : current_(initial.release()) {}
    RcuCell(const RcuCell&) = delete;
    RcuCell& operator=(const RcuCell&) = delete;
    ~RcuCell() {
        delete current_.load();
        for (T* old : retired_) {
            delete old;
        }
    }

    // A pinned view of the value; may be null before the first publish. Any thread.
    class Reader {
      public:
        explicit Reader(const RcuCell& cell) : cell_(cell) {
            cell_.readers_.fetch_add(1, std::memory_order_seq_cst);
            value_ = cell_.current_.load(std::memory_order_seq_cst);
        }
        ~Reader() { cell_.readers_.fetch_sub(1, std::memory_order_seq_cst); }
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;
        const T* get() const { return value_; }
        const T* operator->() const { return value_; }
        explicit operator bool() const { return value_ != nullptr; }

      private:
        const RcuCell& cell_;
        const T* value_ = nullptr;
    };

    Reader read() const { return Reader(*this); }

    // Main thread.
    void publish(std::unique_ptr<T> value) {
        T* old = current_.exchange(value.release(), std::memory_order_seq_cst);
        if (old) {
            retired_.push_back(old);
        }
        collect();
    }

    // Main thread: frees retired values when no reader is active. A reader that starts after
    // this check sees only the current value.
    void collect() {
        if (retired_.empty() || readers_.load(std::memory_order_seq_cst) != 0) {
            return;
        }
        for (T* old : retired_) {
            delete old;
        }
        retired_.clear();
    }

    // Main thread: the current value (the main thread is the only writer).
    const T* current() const { return current_.load(std::memory_order_relaxed); }

  private:
    std::atomic<T*> current_{nullptr};
    mutable std::atomic<int> readers_{0};
    std::vector<T*> retired_;
};

}  // namespace qv
