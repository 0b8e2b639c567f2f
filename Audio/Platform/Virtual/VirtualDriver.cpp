#include "Audio/Platform/Virtual/VirtualDriver.h"

#include <algorithm>
#include <chrono>

#include "Foundation/RealtimeThread.h"

namespace qv {

VirtualTimeDriver::VirtualTimeDriver(VirtualAudioHardware& hardware, VirtualMainQueue& queue)
    : hardware_(hardware), queue_(queue) {}

void VirtualTimeDriver::run(Seconds duration) {
    hardware_.restartCycles();
    runFor(duration);
}

void VirtualTimeDriver::runFor(Seconds duration) {
    const Seconds end = queue_.now() + duration;
    for (;;) {
        // Streams started by the tasks just run begin their grids now.
        hardware_.scheduleCycles(queue_.now(), 0.0);
        const auto cycle = hardware_.nextCycleTime();
        const auto task = queue_.nextDueTime();
        if (task && *task < end && (!cycle || *task <= *cycle)) {
            queue_.advanceTo(*task);
        } else if (cycle && *cycle < end) {
            queue_.advanceTo(*cycle);
            hardware_.runCycle(*cycle);
        } else {
            break;
        }
    }
    queue_.advanceTo(end);
}

namespace {

constexpr Seconds kMaxLate = 0.05;
// Longest sleep, so streams started while idle are picked up promptly.
constexpr Seconds kMaxSleep = 0.01;

}  // namespace

RealTimeDriver::RealTimeDriver(VirtualAudioHardware& hardware) : hardware_(hardware) {}

RealTimeDriver::~RealTimeDriver() {
    stop();
}

void RealTimeDriver::start() {
    if (thread_.joinable()) {
        return;
    }
    hardware_.setSchedulingJitter(0.004);
    isStopping_.store(false);
    hardware_.restartCycles();
    thread_ = std::thread([this] { loop(); });
    // Promoted from here, as it starts, so that asking (system calls) never happens inside a
    // cycle, and the outcome is logged on the calling (main) thread.
    promoteToRealtime(thread_, "Virtual devices");
    logRealtimeOutcome();
}

void RealTimeDriver::stop() {
    if (!thread_.joinable()) {
        return;
    }
    isStopping_.store(true);
    thread_.join();
}

void RealTimeDriver::loop() {
    using Clock = std::chrono::steady_clock;
    // One timeline for the driver's whole life, so that the devices' clock never goes back
    // when the driver stops and starts again.
    const auto origin = origin_;
    const auto elapsed = [origin] {
        return std::chrono::duration<double>(Clock::now() - origin).count();
    };
    while (!isStopping_.load()) {
        const Seconds now = elapsed();
        hardware_.scheduleCycles(now, kMaxLate);
        const auto cycle = hardware_.nextCycleTime();
        if (cycle && *cycle <= now) {
            hardware_.runCycle(*cycle);
            continue;
        }
        const Seconds wakeAt = std::min(cycle.value_or(now + kMaxSleep), now + kMaxSleep);
        std::this_thread::sleep_until(origin + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(wakeAt)));
    }
}

}  // namespace qv
