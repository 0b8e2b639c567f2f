#pragma once

// How edits reach the render thread
// ---------------------------------
// The graph's structure (attached nodes and connections) lives on the main thread. After every
// edit the graph compiles an immutable RenderPlan: the nodes that feed the output, in
// dependency order, each with its input slots and a preallocated scratch buffer. The plan is
// published through one atomic pointer. At the start of each render cycle the render thread
// takes a pending plan with an atomic exchange, never waiting; the plan it replaces travels
// back through a wait-free queue and is freed on the main thread at the next edit. Nodes are
// kept alive by the plans that use them, so a node detached on the main thread is freed only
// after the render thread has let go of it. A render therefore always sees one whole plan.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Audio/Platform/AudioFormat.h"
#include "Audio/Platform/AudioHardware.h"
#include "Audio/Platform/AudioNode.h"
#include "Audio/Platform/AudioPCMBuffer.h"
#include "Audio/Platform/MixerNode.h"
#include "Audio/Platform/StreamResampler.h"
#include "Foundation/SpscQueue.h"

namespace qv {

class AudioGraph;

// The graph's output: plays the main mixer on the device it is bound to.
class OutputNode {
  public:
    // Binds the graph's output to a device (takes effect at the next start).
    void setCurrentDevice(DeviceID device) { device_ = device; }
    DeviceID currentDevice() const { return device_; }

  private:
    friend class AudioGraph;
    DeviceID device_ = kNoDevice;
};

// The graph's input: captures a device and hands its buffers to a tap on a capture thread.
class InputNode {
  public:
    using TapBlock = std::function<void(const AudioPCMBuffer& buffer, double sampleTime)>;

    explicit InputNode(AudioGraph& graph) : graph_(graph) {}

    // Whether the device layer can capture at all.
    bool isAvailable() const;
    // Binds the input to a device; a failure leaves it unbound.
    AudioResult setCurrentDevice(DeviceID device);
    DeviceID currentDevice() const { return device_; }
    // The bound device's format (its nominal rate and input channel count); rate and channel
    // count are 0 when they cannot be read.
    AudioFormat inputFormat(int bus) const;
    // Installs the tap: buffers of `bufferSize` frames in the device's format.
    void installTap(int bus, std::uint32_t bufferSize, const AudioFormat& format, TapBlock block);
    void removeTap(int bus);
    bool hasTap() const { return static_cast<bool>(tap_); }

  private:
    friend class AudioGraph;
    AudioGraph& graph_;
    DeviceID device_ = kNoDevice;
    std::uint32_t tapBufferSize_ = 0;
    TapBlock tap_;
};

// An audio graph: implicit main mixer and output node, attached nodes, connections, and the
// device streams that pull (output) or push (input) its audio. Main thread unless noted.
class AudioGraph {
  public:
    explicit AudioGraph(AudioHardware& hardware);
    ~AudioGraph();
    AudioGraph(const AudioGraph&) = delete;
    AudioGraph& operator=(const AudioGraph&) = delete;

    MixerNode& mainMixerNode() { return *mainMixer_; }
    OutputNode& outputNode() { return output_; }
    InputNode& inputNode() { return input_; }

    void attach(const std::shared_ptr<AudioNode>& node);
    // Disconnects the node from everything and removes it.
    void detach(const std::shared_ptr<AudioNode>& node);
    bool isAttached(const AudioNode* node) const;
    // Audio flows from `source` to `destination` (replacing the source's previous destination).
    // Both must be attached (the main mixer always is). Every connection uses `format`.
    void connect(const std::shared_ptr<AudioNode>& source, AudioNode& destination,
                 const AudioFormat& format);
    void disconnectOutput(const AudioNode& source);
    std::size_t attachedNodeCount() const { return nodes_.size(); }

    // Opens the device streams.
    void prepare();
    // Starts the device streams. Succeeds when they run or are still opening; a stream that
    // cannot open after all is reported to the start-failure handler. On failure the graph
    // stays built.
    AudioResult start();
    // Called on the main queue when a stream that start() accepted could not open.
    void setStartFailureHandler(std::function<void(AudioResult failure)> handler);
    // Called on the main queue when the output stream that start() left opening runs.
    void setStartedHandler(std::function<void()> handler);
    // The output stream is still opening after a successful start().
    bool isOpening() const;
    // Stops the streams; nodes and connections stay, so a later start resumes.
    void stop();
    bool isRunning() const;

    // Observers of configuration changes (device gone, rate changed, stream broken). Called on
    // the thread that reports the change. Returns a token for removal.
    using ObserverToken = std::uint64_t;
    ObserverToken addConfigurationChangeObserver(std::function<void()> observer);
    void removeConfigurationChangeObserver(ObserverToken token);
    // Tells every observer that the configuration changed (the backends call this).
    void postConfigurationChange();

    // The graph renders at this rate; output devices at another rate get a converted stream.
    static constexpr double kGraphRate = kInternalSampleRate;

    // Render thread: fills `frames` frames of the device's channels (at `sampleRate`) from the
    // main mixer. A bus plays on the first two channels; a mono device gets the average.
    void renderOutput(float* const* channels, int channelCount, int frames,
                      double sampleRate = kGraphRate);

  private:
    friend class InputNode;
    struct RenderPlan;

    void rebuildPlan();
    void renderStereo(float* left, float* right, int frames);
    void collectRetiredPlans();
    void deliverInput(const float* const* channels, int channelCount, int frames, double rate);

    AudioHardware& hardware_;
    std::shared_ptr<MixerNode> mainMixer_;
    OutputNode output_;
    InputNode input_;

    // Main-thread structure.
    std::vector<std::shared_ptr<AudioNode>> nodes_;
    std::map<const AudioNode*, AudioNode*> destinations_;

    // Render-plan hand-over.
    std::atomic<RenderPlan*> pendingPlan_{nullptr};
    RenderPlan* activePlan_ = nullptr;  // render thread (or main while no stream runs)
    SpscQueue<RenderPlan*, 16> retiredPlans_;

    std::unique_ptr<AudioStream> outputStream_;
    std::unique_ptr<AudioStream> inputStream_;
    std::atomic<bool> broken_{false};
    bool started_ = false;
    std::unique_ptr<AudioPCMBuffer> tapBuffer_;
    std::unique_ptr<StreamResampler> resampler_;
    StreamResampler::Source renderSource_;
    std::vector<float> outputScratch_[2];
    double inputSampleTime_ = 0;

    AudioError openError_ = AudioError::deviceNotFound;  // why the last open failed
    std::function<void(AudioResult)> startFailureHandler_;
    std::function<void()> startedHandler_;
    std::mutex observersMutex_;
    std::map<ObserverToken, std::function<void()>> observers_;
    ObserverToken nextToken_ = 1;
};

}  // namespace qv
