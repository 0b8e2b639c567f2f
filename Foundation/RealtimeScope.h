#pragma once

#include <utility>

namespace qv {

// Marks the code a render thread runs for one cycle, so that tests can check that nothing in
// it allocates. Costs one thread-local increment per cycle.
class RealtimeScope {
  public:
    RealtimeScope() { ++depth(); }
    ~RealtimeScope() { --depth(); }
    RealtimeScope(const RealtimeScope&) = delete;
    RealtimeScope& operator=(const RealtimeScope&) = delete;

    static bool isActive() { return depth() > 0; }

    // Inside a real-time scope, marks code that may still allocate: the capture callbacks of
    // the standard path, which copy every buffer they hand on.
    class Exemption {
      public:
        Exemption() : saved_(std::exchange(depth(), 0)) {}
        ~Exemption() { depth() = saved_; }
        Exemption(const Exemption&) = delete;
        Exemption& operator=(const Exemption&) = delete;

      private:
        int saved_;
    };

  private:
    static int& depth() {
        static thread_local int value = 0;
        return value;
    }
};

}  // namespace qv
