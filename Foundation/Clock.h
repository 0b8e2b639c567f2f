#pragma once

#include <chrono>

#include "Foundation/MainQueue.h"

namespace qv {

// Monotonic time in seconds, and wall-clock time for time stamps shown to users.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual Seconds now() const = 0;
    virtual std::chrono::system_clock::time_point wallNow() const = 0;
};

// The machine's steady and wall clocks.
class SystemClock final : public Clock {
  public:
    Seconds now() const override;
    std::chrono::system_clock::time_point wallNow() const override;
};

}  // namespace qv
