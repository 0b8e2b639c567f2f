#pragma once

#include <atomic>
#include <memory>

namespace qv {

class AudioGraph;

// Largest number of frames one node renders at a time; longer requests are rendered in slices.
inline constexpr int kMaxRenderFrames = 1024;

// A node of an AudioGraph. Every node renders stereo (the internal format). Nodes are created
// and wired on the main thread; `render` runs on the graph's render thread.
class AudioNode {
  public:
    virtual ~AudioNode() = default;

    // The graph this node is attached to, or null. Main thread.
    AudioGraph* engine() const { return graph_; }

    // Render thread. `inputs` is the sum of every connected source (null for nodes without
    // inputs); `outputs` receives `frames` frames of both channels.
    virtual void render(const float* const* inputs, float* const* outputs, int frames) = 0;

    // Whether other nodes can connect into this one.
    virtual bool acceptsInputs() const { return true; }

  private:
    friend class AudioGraph;
    AudioGraph* graph_ = nullptr;
};

}  // namespace qv
