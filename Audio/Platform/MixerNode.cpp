#include "Audio/Platform/MixerNode.h"

#include <algorithm>

namespace qv {

void MixerNode::render(const float* const* inputs, float* const* outputs, int frames) {
    const float volume = outputVolume();
    for (int c = 0; c < 2; ++c) {
        float* out = outputs[c];
        if (!inputs || volume == 0.0f) {
            std::fill_n(out, frames, 0.0f);
            continue;
        }
        const float* in = inputs[c];
        for (int i = 0; i < frames; ++i) {
            out[i] = in[i] * volume;
        }
    }
}

}  // namespace qv
