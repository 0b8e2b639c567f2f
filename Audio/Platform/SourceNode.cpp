#include "Audio/Platform/SourceNode.h"

#include <algorithm>

namespace qv {

void SourceNode::render(const float* const*, float* const* outputs, int frames) {
    // What the callback leaves unwritten is silence.
    std::fill_n(outputs[0], frames, 0.0f);
    std::fill_n(outputs[1], frames, 0.0f);
    if (block_) {
        block_(outputs, 2, frames);
    }
}

}  // namespace qv
