#include "Foundation/Clock.h"

namespace qv {

Seconds SystemClock::now() const {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::chrono::system_clock::time_point SystemClock::wallNow() const {
    return std::chrono::system_clock::now();
}

}  // namespace qv
