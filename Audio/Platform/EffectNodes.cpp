#include <algorithm>

#include "Audio/Platform/DelayNode.h"
#include "Audio/Platform/EQNode.h"

namespace qv {
namespace {

void passThrough(const float* const* inputs, float* const* outputs, int frames) {
    for (int c = 0; c < 2; ++c) {
        if (inputs) {
            std::copy_n(inputs[c], frames, outputs[c]);
        } else {
            std::fill_n(outputs[c], frames, 0.0f);
        }
    }
}

}  // namespace

void EQNode::render(const float* const* inputs, float* const* outputs, int frames) {
    passThrough(inputs, outputs, frames);
}

void DelayNode::render(const float* const* inputs, float* const* outputs, int frames) {
    passThrough(inputs, outputs, frames);
}

}  // namespace qv
