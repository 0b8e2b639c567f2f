#include "Audio/EngineAudioState.h"

#include <algorithm>
#include <cmath>

namespace qv {

std::optional<float> measureLevel(const float* samples, std::int64_t count) {
    if (!samples || count <= 0) {
        return std::nullopt;
    }
    float sum = 0.0f;
    for (std::int64_t i = 0; i < count; ++i) {
        sum += samples[i] * samples[i];
    }
    const float rms = std::sqrt(sum / static_cast<float>(count));
    return 20.0f * std::log10(std::max(rms, 0.0001f));
}

}  // namespace qv
