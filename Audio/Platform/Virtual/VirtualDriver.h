#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "Audio/Platform/Virtual/VirtualAudioHardware.h"
#include "Foundation/VirtualMainQueue.h"

namespace qv {

// Runs the virtual devices' I/O cycles in virtual time, on the calling thread. Virtual time
// moves from one period boundary to the next; main-queue tasks due in between run at their
// times, and tasks due at a boundary run before its cycle.
class VirtualTimeDriver {
  public:
    VirtualTimeDriver(VirtualAudioHardware& hardware, VirtualMainQueue& queue);

    // Starts every period grid afresh at the queue's current time, then runs `duration`
    // seconds. Render mode calls this once.
    void run(Seconds duration);
    // Runs `duration` more seconds, continuing the grids where the last call stopped (a grid
    // left behind by moving the queue's clock elsewhere starts again at the current time).
    void runFor(Seconds duration);

  private:
    VirtualAudioHardware& hardware_;
    VirtualMainQueue& queue_;
};

// Runs the same cycles in real time on its own thread, sleeping until each boundary on the
// steady clock. For the desktop program without a sound server. When the thread falls more than
// 50 ms behind (a stalled machine), the late grids start again at the current time instead of
// catching up. The thread takes no lock and never waits for the main thread: it sleeps on the
// clock, at most 10 ms at a time, and sees a stop request through an atomic flag. It runs at
// real-time priority where the system grants it (see Foundation/RealtimeThread.h); start() asks
// for it and logs the process's outcome once, so call it on the main thread.
class RealTimeDriver {
  public:
    explicit RealTimeDriver(VirtualAudioHardware& hardware);
    ~RealTimeDriver();
    RealTimeDriver(const RealTimeDriver&) = delete;
    RealTimeDriver& operator=(const RealTimeDriver&) = delete;

    void start();
    // Joins the thread (within one sleep); no cycle runs after it returns.
    void stop();
    bool isRunning() const { return thread_.joinable(); }

  private:
    void loop();

    VirtualAudioHardware& hardware_;
    const std::chrono::steady_clock::time_point origin_ = std::chrono::steady_clock::now();
    std::thread thread_;
    std::atomic<bool> isStopping_{false};
};

}  // namespace qv
