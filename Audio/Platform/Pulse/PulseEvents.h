#pragma once

// How a stream's connection thread tells the main thread what happened to the stream. The
// connection thread is also the stream's render or capture thread, so it never posts a closure
// (which allocates and takes the main queue's lock): it copies a small value into a queue
// allocated once, and a main-queue timer hands the values to their streams.

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>

#include "Foundation/MainQueue.h"
#include "Foundation/MpscQueue.h"

namespace qv {

// In the order one opening of a stream can send them: its outcome first, changes while it
// runs, its failure last.
enum class PulseEventKind : std::uint8_t {
    opened,      // the stream listens or runs
    openFailed,  // the opening failed; `code` tells why
    moved,       // the server moved the stream to another device
    suspended,   // the stream's device was suspended
    failed,      // the running stream broke: its device went away, or it was killed
    serverGone,  // the stream's connection to the server broke; `code` is the server's error
};
inline constexpr int kPulseEventKinds = 6;

class PulseEventPipe;

struct PulseEvent {
    std::uint32_t port = 0;     // the stream's port
    std::uint32_t opening = 0;  // the opening that sent it
    PulseEventKind kind = PulseEventKind::opened;
    std::int32_t code = 0;  // what the receiver makes of it (an AudioError, a server error)
};

// A stream's own end of the pipe, a member of the stream. Its owner opens it on the main thread
// before the connection thread of an opening starts, and closes it once that thread has
// stopped; in between, that thread sends.
class PulseEventPort {
  public:
    PulseEventPort() = default;
    PulseEventPort(const PulseEventPort&) = delete;
    PulseEventPort& operator=(const PulseEventPort&) = delete;

    // The connection thread of the current opening: hands the event to the main thread. Never
    // blocks, allocates or locks. An event that finds the queue full is kept in the port, one
    // flag per kind, and delivered after the port's earlier events, in the order it was sent;
    // a kind sent again while it waits is delivered once, in the place of its last sending.
    void send(PulseEventKind kind, std::int32_t code = 0);

    // Once the opening's connection thread has stopped: nothing it sent is delivered any more.
    // Any thread, as long as the owner never closes and opens the port at once.
    void close() { opening_.store(0, std::memory_order_release); }

    // The current opening, 0 while the port is closed.
    std::uint32_t opening() const { return opening_.load(std::memory_order_acquire); }

  private:
    friend class PulseEventPipe;

    std::uint32_t id_ = 0;  // set by the pipe on the first opening
    PulseEventPipe* pipe_ = nullptr;
    std::uint32_t lastOpening_ = 0;  // main thread
    std::atomic<std::uint32_t> opening_{0};
    // Connection thread → main thread: events that found the queue full, one flag per kind,
    // with the code each carried and when it was sent; and how many events this opening put in
    // the queue.
    std::atomic<std::uint32_t> waiting_{0};
    std::array<std::atomic<std::int32_t>, kPulseEventKinds> waitingCodes_{};
    std::array<std::atomic<std::uint32_t>, kPulseEventKinds> waitingOrder_{};
    std::uint32_t kept_ = 0;  // connection thread: how many events it kept back
    std::atomic<std::uint32_t> queued_{0};
    std::uint32_t delivered_ = 0;  // main thread: of those, how many were taken out
};

// The owner of a port: hears of its events on the main thread.
class PulseEventReceiver {
  public:
    virtual ~PulseEventReceiver() = default;
    // Main thread: one event of the port's current opening, in the order its connection thread
    // sent them. Never for an opening that has been closed, nor once the receiver is gone. It
    // may close, open, make or drop streams.
    virtual void received(const PulseEvent& event) = 0;
};

// The queue and its main-side timer, one per backend. Held by shared pointers: the backend and
// its streams share it.
class PulseEventPipe : public std::enable_shared_from_this<PulseEventPipe> {
  public:
    static constexpr std::size_t kCapacity = 256;
    static constexpr Seconds kInterval = 0.01;  // how often the main side looks

    explicit PulseEventPipe(MainQueue& queue) : queue_(queue) {}
    ~PulseEventPipe();
    PulseEventPipe(const PulseEventPipe&) = delete;
    PulseEventPipe& operator=(const PulseEventPipe&) = delete;

    // Main thread, before the opening's connection thread starts: begins an opening of the
    // port, owned by `receiver` (which holds the port), and returns its number (never 0).
    // Events of earlier openings still on their way are dropped. The timer runs while any port
    // is open.
    std::uint32_t open(PulseEventPort& port, std::weak_ptr<PulseEventReceiver> receiver);

    // Main thread: delivers everything sent so far, and logs the outcome of real-time
    // scheduling once it is known. The timer calls it.
    void drain();
    // Main thread: whether the timer runs.
    bool isWatching() const { return isTicking_; }

  private:
    friend class PulseEventPort;

    struct Entry {
        PulseEventPort* port = nullptr;  // a member of the receiver: used only while it lives
        std::weak_ptr<PulseEventReceiver> receiver;
    };
    void tick();
    // The events `id` kept back, once every event it queued before them has been delivered.
    void deliverWaiting(std::uint32_t id);

    MainQueue& queue_;
    MpscQueue<PulseEvent, kCapacity> events_;
    std::atomic<bool> hasWaiting_{false};  // some port keeps events back
    // Main thread.
    std::map<std::uint32_t, Entry> entries_;  // open ports, and closed ones not yet let go
    std::uint32_t nextID_ = 1;
    TaskHandle timer_;
    bool isTicking_ = false;
};

}  // namespace qv
