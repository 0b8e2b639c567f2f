#pragma once

#include <functional>

#include "Audio/Platform/AudioNode.h"

namespace qv {

// A node whose audio comes from a render callback, called on the render thread to fill each
// requested frame count (two non-interleaved channels). The callback must not allocate,
// lock (other than a ring buffer's lock), log or wait.
class SourceNode final : public AudioNode {
  public:
    using RenderBlock = std::function<void(float* const* outputs, int channelCount, int frames)>;

    explicit SourceNode(RenderBlock block) : block_(std::move(block)) {}

    bool acceptsInputs() const override { return false; }
    void render(const float* const* inputs, float* const* outputs, int frames) override;

  private:
    RenderBlock block_;
};

}  // namespace qv
