#include "Audio/InputChannel.h"

#include <cmath>

namespace qv {

float InputChannel::linearGain() const {
    float g = 1.0f;
    if (gainEnabled.get()) {
        g = std::pow(10.0f, inputGain.get() / 20.0f);
    }
    if (faderEnabled.get()) {
        g *= std::pow(10.0f, faderLevel.get() / 20.0f);
    }
    return g;
}

}  // namespace qv
