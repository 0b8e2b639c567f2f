#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace qv {

// Keeps an observer registered while it lives.
class Subscription {
  public:
    Subscription() = default;
    explicit Subscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    Subscription(Subscription&& other) noexcept : cancel_(std::exchange(other.cancel_, {})) {}
    Subscription& operator=(Subscription&& other) noexcept {
        if (this != &other) {
            reset();
            cancel_ = std::exchange(other.cancel_, {});
        }
        return *this;
    }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    ~Subscription() { reset(); }
    void reset() {
        if (cancel_) {
            std::exchange(cancel_, {})();
        }
    }

  private:
    std::function<void()> cancel_;
};

// A list of callbacks. Callbacks added or removed while it notifies take effect next time.
template <class... Args>
class Notifier {
  public:
    using Callback = std::function<void(const Args&...)>;

    Subscription subscribe(Callback callback) {
        auto id = nextId_++;
        entries_->push_back({id, std::make_shared<Callback>(std::move(callback))});
        std::weak_ptr<std::vector<Entry>> weak = entries_;
        return Subscription([weak, id] {
            if (auto entries = weak.lock()) {
                std::erase_if(*entries, [id](const Entry& e) { return e.id == id; });
            }
        });
    }

    void notify(const Args&... args) const {
        if (entries_->empty()) {
            return;
        }
        auto snapshot = *entries_;
        for (auto& entry : snapshot) {
            (*entry.callback)(args...);
        }
    }

    bool empty() const { return entries_->empty(); }

  private:
    struct Entry {
        std::uint64_t id;
        std::shared_ptr<Callback> callback;
    };
    std::shared_ptr<std::vector<Entry>> entries_ = std::make_shared<std::vector<Entry>>();
    std::uint64_t nextId_ = 1;
};

// Base of model objects: `objectWillChange` fires before any of the object's published fields
// takes a new value, on the main thread.
class ObservableObject {
  public:
    Notifier<> objectWillChange;
};

namespace detail {

template <class T>
constexpr bool atomicStorage() {
    if constexpr (std::is_arithmetic_v<T> || std::is_enum_v<T>) {
        return std::atomic<T>::is_always_lock_free;
    } else {
        return false;
    }
}
template <class T>
inline constexpr bool kAtomicStorage = atomicStorage<T>();

template <class T, bool Atomic = kAtomicStorage<T>>
class PublishedStorage {
  public:
    explicit PublishedStorage(T v) : value_(std::move(v)) {}
    const T& load() const { return value_; }
    void store(T v) { value_ = std::move(v); }

  private:
    T value_;
};

// Numbers, flags and enumerations are stored atomically so that audio threads can read them
// without a lock while the main thread writes them.
template <class T>
class PublishedStorage<T, true> {
  public:
    explicit PublishedStorage(T v) : value_(v) {}
    T load() const { return value_.load(std::memory_order_relaxed); }
    void store(T v) { value_.store(v, std::memory_order_relaxed); }

  private:
    std::atomic<T> value_;
};

}  // namespace detail

// An observable field. Written on the main thread only; observers (the owner's
// `objectWillChange`, then the field's own) are told the new value before it becomes visible.
template <class T>
class Published {
  public:
    Published(ObservableObject* owner, T initial) : owner_(owner), storage_(std::move(initial)) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    decltype(auto) get() const { return storage_.load(); }
    decltype(auto) operator()() const { return storage_.load(); }

    void set(T value) {
        if (owner_) {
            owner_->objectWillChange.notify();
        }
        willSet_.notify(value);
        storage_.store(std::move(value));
        if (!didSet_.empty()) {
            didSet_.notify(storage_.load());
        }
    }
    Published& operator=(T value) {
        set(std::move(value));
        return *this;
    }

    // Called with the new value before it is stored.
    Subscription observe(std::function<void(const T&)> willSet) {
        return willSet_.subscribe(std::move(willSet));
    }

    // Called with the new value after it is stored (the owner's side effects).
    Subscription observeDidSet(std::function<void(const T&)> didSet) {
        return didSet_.subscribe(std::move(didSet));
    }

  private:
    ObservableObject* owner_;
    detail::PublishedStorage<T> storage_;
    Notifier<T> willSet_;
    Notifier<T> didSet_;
};

}  // namespace qv
