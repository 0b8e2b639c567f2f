#pragma once

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

  private:
    static int& depth() {
        static thread_local int value = 0;
        return value;
    }
};

}  // namespace qv
