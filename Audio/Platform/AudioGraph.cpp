#include "Audio/Platform/AudioGraph.h"

#include "Foundation/RealtimeScope.h"
#include "Foundation/ScopedNoDenormals.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace qv {

struct AudioGraph::RenderPlan {
    struct Step {
        AudioNode* node = nullptr;
        std::vector<int> inputs;  // step indices whose output feeds this node
    };
    std::vector<std::shared_ptr<AudioNode>> keepAlive;
    std::vector<Step> steps;  // dependency order; the main mixer comes last
    std::vector<float> scratch;

    // Output slot of step i (two channels of kMaxRenderFrames); slot steps.size() sums inputs.
    float* slot(std::size_t i, int channel) {
        return scratch.data() + (i * 2 + static_cast<std::size_t>(channel)) * kMaxRenderFrames;
    }
};

AudioResult InputNode::setCurrentDevice(DeviceID device) {
    const AudioResult result = graph_.hardware_.bindResult(device, Direction::input);
    if (result.ok()) {
        device_ = device;
    }
    return result;
}

bool InputNode::isAvailable() const {
    return graph_.hardware_.canCapture();
}

AudioFormat InputNode::inputFormat(int) const {
    // An unreadable device gives an invalid format (no rate, no channels).
    AudioFormat format{0.0, 0, false};
    if (device_ == kNoDevice) {
        return format;
    }
    if (auto rate = graph_.hardware_.nominalSampleRate(device_); rate && *rate > 0) {
        format.sampleRate = *rate;
    }
    if (auto config = graph_.hardware_.streamConfiguration(device_, Direction::input)) {
        for (auto c : *config) {
            format.channelCount += c;
        }
    }
    return format;
}

void InputNode::installTap(int, std::uint32_t bufferSize, const AudioFormat&, TapBlock block) {
    tapBufferSize_ = bufferSize > 0 ? bufferSize : 128;
    tap_ = std::move(block);
}

void InputNode::removeTap(int) {
    // The stream delivers into the tap; close it before the block goes away.
    if (graph_.inputStream_) {
        graph_.inputStream_->stop();
        graph_.inputStream_.reset();
    }
    tap_ = nullptr;
}

AudioGraph::AudioGraph(AudioHardware& hardware)
    : hardware_(hardware),
      mainMixer_(std::make_shared<MixerNode>()),
      input_(*this),
      renderSource_(
          [this](float* left, float* right, int frames) { renderStereo(left, right, frames); }) {
    for (auto& scratch : outputScratch_) {
        scratch.assign(kMaxRenderFrames, 0.0f);
    }
    mainMixer_->graph_ = this;
    rebuildPlan();
}

AudioGraph::~AudioGraph() {
    stop();
    outputStream_.reset();
    inputStream_.reset();
    delete pendingPlan_.exchange(nullptr);
    delete activePlan_;
    collectRetiredPlans();
    for (auto& node : nodes_) {
        node->graph_ = nullptr;
    }
    mainMixer_->graph_ = nullptr;
}

void AudioGraph::attach(const std::shared_ptr<AudioNode>& node) {
    if (!node || node->graph_ == this) {
        return;
    }
    node->graph_ = this;
    nodes_.push_back(node);
}

void AudioGraph::detach(const std::shared_ptr<AudioNode>& node) {
    if (!node || node->graph_ != this || node.get() == mainMixer_.get()) {
        return;
    }
    destinations_.erase(node.get());
    for (auto it = destinations_.begin(); it != destinations_.end();) {
        it = it->second == node.get() ? destinations_.erase(it) : std::next(it);
    }
    std::erase_if(nodes_, [&](const auto& n) { return n.get() == node.get(); });
    node->graph_ = nullptr;
    rebuildPlan();
}

bool AudioGraph::isAttached(const AudioNode* node) const {
    return node && node->graph_ == this;
}

void AudioGraph::connect(const std::shared_ptr<AudioNode>& source, AudioNode& destination,
                         const AudioFormat&) {
    if (!source || source->graph_ != this || destination.graph_ != this ||
        !destination.acceptsInputs() || source.get() == &destination) {
        return;
    }
    destinations_[source.get()] = &destination;
    rebuildPlan();
}

void AudioGraph::disconnectOutput(const AudioNode& source) {
    if (destinations_.erase(&source) > 0) {
        rebuildPlan();
    }
}

void AudioGraph::collectRetiredPlans() {
    while (auto plan = retiredPlans_.pop()) {
        delete *plan;
    }
}

void AudioGraph::rebuildPlan() {
    collectRetiredPlans();

    std::map<const AudioNode*, std::vector<AudioNode*>> sources;
    for (auto& [src, dst] : destinations_) {
        sources[dst].push_back(const_cast<AudioNode*>(src));
    }
    // Keep sources in attach order so that sums are formed in a stable order.
    std::map<const AudioNode*, std::size_t> order;
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        order[nodes_[i].get()] = i;
    }
    for (auto& [dst, list] : sources) {
        std::sort(list.begin(), list.end(),
                  [&](AudioNode* a, AudioNode* b) { return order[a] < order[b]; });
    }

    auto plan = std::make_unique<RenderPlan>();
    std::map<const AudioNode*, int> stepOf;
    std::set<const AudioNode*> visiting;
    std::function<int(AudioNode*)> visit = [&](AudioNode* node) -> int {
        if (auto it = stepOf.find(node); it != stepOf.end()) {
            return it->second;
        }
        if (!visiting.insert(node).second) {
            return -1;  // a cycle: that edge is ignored
        }
        RenderPlan::Step step;
        step.node = node;
        if (auto it = sources.find(node); it != sources.end()) {
            for (AudioNode* src : it->second) {
                int index = visit(src);
                if (index >= 0) {
                    step.inputs.push_back(index);
                }
            }
        }
        visiting.erase(node);
        int index = static_cast<int>(plan->steps.size());
        plan->steps.push_back(std::move(step));
        stepOf[node] = index;
        return index;
    };
    visit(mainMixer_.get());

    for (auto& step : plan->steps) {
        if (step.node == mainMixer_.get()) {
            plan->keepAlive.push_back(mainMixer_);
            continue;
        }
        for (auto& n : nodes_) {
            if (n.get() == step.node) {
                plan->keepAlive.push_back(n);
                break;
            }
        }
    }
    plan->scratch.assign((plan->steps.size() + 1) * 2 * kMaxRenderFrames, 0.0f);

    if (RenderPlan* unused = pendingPlan_.exchange(plan.release(), std::memory_order_acq_rel)) {
        // The render thread never saw it.
        delete unused;
    }
}

void AudioGraph::renderStereo(float* left, float* right, int frames) {
    if (RenderPlan* fresh = pendingPlan_.exchange(nullptr, std::memory_order_acq_rel)) {
        if (activePlan_ && !retiredPlans_.push(activePlan_)) {
            // Cannot happen (one plan retires per edit and the main thread drains first);
            // leaking is the safe choice on this thread.
        }
        activePlan_ = fresh;
    }
    RenderPlan* plan = activePlan_;
    int done = 0;
    while (done < frames) {
        const int n = std::min(frames - done, kMaxRenderFrames);
        if (!plan || plan->steps.empty()) {
            std::fill_n(left + done, n, 0.0f);
            std::fill_n(right + done, n, 0.0f);
            done += n;
            continue;
        }
        const std::size_t sumSlot = plan->steps.size();
        for (std::size_t i = 0; i < plan->steps.size(); ++i) {
            auto& step = plan->steps[i];
            float* out[2] = {plan->slot(i, 0), plan->slot(i, 1)};
            const float* in[2] = {nullptr, nullptr};
            if (step.inputs.size() == 1) {
                in[0] = plan->slot(static_cast<std::size_t>(step.inputs[0]), 0);
                in[1] = plan->slot(static_cast<std::size_t>(step.inputs[0]), 1);
            } else if (step.inputs.size() > 1) {
                for (int c = 0; c < 2; ++c) {
                    float* sum = plan->slot(sumSlot, c);
                    std::fill_n(sum, n, 0.0f);
                    for (int src : step.inputs) {
                        const float* s = plan->slot(static_cast<std::size_t>(src), c);
                        for (int k = 0; k < n; ++k) {
                            sum[k] += s[k];
                        }
                    }
                    in[c] = sum;
                }
            }
            step.node->render(in[0] ? in : nullptr, out, n);
        }
        const std::size_t last = plan->steps.size() - 1;
        std::copy_n(plan->slot(last, 0), n, left + done);
        std::copy_n(plan->slot(last, 1), n, right + done);
        done += n;
    }
}

void AudioGraph::renderOutput(float* const* channels, int channelCount, int frames,
                              double sampleRate) {
    ScopedNoDenormals noDenormals;
    RealtimeScope realtime;
    // Devices at another rate than the graph's get a converted stream.
    const bool convert = resampler_ && std::fabs(resampler_->targetRate() - sampleRate) < 0.5;
    int done = 0;
    while (done < frames) {
        const int n = std::min(frames - done, kMaxRenderFrames);
        float* left = channelCount >= 2 ? channels[0] + done : outputScratch_[0].data();
        float* right = channelCount >= 2 ? channels[1] + done : outputScratch_[1].data();
        if (convert) {
            resampler_->pull(renderSource_, left, right, n);
        } else {
            renderStereo(left, right, n);
        }
        if (channelCount == 1) {
            for (int k = 0; k < n; ++k) {
                channels[0][done + k] = 0.5f * (left[k] + right[k]);
            }
        }
        for (int c = 2; c < channelCount; ++c) {
            std::fill_n(channels[c] + done, n, 0.0f);
        }
        done += n;
    }
}

void AudioGraph::deliverInput(const float* const* channels, int channelCount, int frames,
                              double rate) {
    ScopedNoDenormals noDenormals;
    if (!input_.tap_ || frames <= 0) {
        return;
    }
    const auto needed = static_cast<std::uint32_t>(frames);
    const auto count = static_cast<std::uint32_t>(std::max(channelCount, 1));
    if (!tapBuffer_ || tapBuffer_->frameCapacity() < needed ||
        tapBuffer_->format().channelCount != count || tapBuffer_->format().sampleRate != rate) {
        tapBuffer_ = std::make_unique<AudioPCMBuffer>(AudioFormat::standard(rate, count), needed);
    }
    tapBuffer_->setFrameLength(needed);
    for (std::uint32_t c = 0; c < count; ++c) {
        std::copy_n(channels[c], frames, tapBuffer_->floatChannelData()[c]);
    }
    input_.tap_(*tapBuffer_, inputSampleTime_);
    inputSampleTime_ += frames;
}

void AudioGraph::prepare() {
    auto events = [this] {
        StreamEvents e;
        e.onConfigurationChange = [this] {
            broken_.store(true);
            postConfigurationChange();
        };
        e.onStarted = [this] {
            if (startedHandler_) {
                startedHandler_();
            }
        };
        e.onStartFailure = [this](AudioResult failure) {
            if (startFailureHandler_) {
                startFailureHandler_(failure);
            }
        };
        return e;
    };
    if (!outputStream_ && output_.device_ != kNoDevice) {
        const double rate = hardware_.nominalSampleRate(output_.device_).value_or(kGraphRate);
        resampler_.reset();
        if (rate > 0 && std::fabs(rate - kGraphRate) >= 0.5) {
            resampler_ = std::make_unique<StreamResampler>(kGraphRate, rate, kMaxRenderFrames);
        }
        outputStream_ = hardware_.openOutputStream(
            output_.device_,
            [this](float* const* ch, int count, int frames, double rate) {
                renderOutput(ch, count, frames, rate);
            },
            events(), &openError_);
    }
    if (!inputStream_ && input_.device_ != kNoDevice && input_.tap_) {
        // The tap's buffer is made here, at the device's rate and channels, so the capture
        // thread does not have to; it grows there only for a device that delivers more.
        const AudioFormat format = input_.inputFormat(0);
        if (format.sampleRate > 0 && format.channelCount > 0) {
            tapBuffer_ = std::make_unique<AudioPCMBuffer>(
                AudioFormat::standard(format.sampleRate, format.channelCount),
                std::max<std::uint32_t>(input_.tapBufferSize_, 4096));
        }
        inputStream_ = hardware_.openInputStream(
            input_.device_, input_.tapBufferSize_,
            [this](const float* const* ch, int count, int frames, double rate) {
                deliverInput(ch, count, frames, rate);
            },
            events(), &openError_);
    }
}

AudioResult AudioGraph::start() {
    prepare();
    if (output_.device_ != kNoDevice && !outputStream_) {
        return openError_;
    }
    if (input_.device_ != kNoDevice && input_.tap_ && !inputStream_) {
        return openError_;
    }
    broken_.store(false);
    if (outputStream_ && !outputStream_->isRunning()) {
        if (AudioResult result = outputStream_->start(); !result.ok()) {
            return result;
        }
    }
    if (inputStream_ && !inputStream_->isRunning()) {
        if (AudioResult result = inputStream_->start(); !result.ok()) {
            if (outputStream_) {
                outputStream_->stop();
            }
            return result;
        }
    }
    started_ = true;
    return {};
}

void AudioGraph::setStartFailureHandler(std::function<void(AudioResult failure)> handler) {
    startFailureHandler_ = std::move(handler);
}

void AudioGraph::setStartedHandler(std::function<void()> handler) {
    startedHandler_ = std::move(handler);
}

bool AudioGraph::isOpening() const {
    return outputStream_ && outputStream_->isOpening();
}

void AudioGraph::stop() {
    started_ = false;
    if (outputStream_) {
        outputStream_->stop();
    }
    if (inputStream_) {
        inputStream_->stop();
    }
}

bool AudioGraph::isRunning() const {
    if (!started_ || broken_.load()) {
        return false;
    }
    return (!outputStream_ || outputStream_->isRunning()) &&
           (!inputStream_ || inputStream_->isRunning());
}

AudioGraph::ObserverToken AudioGraph::addConfigurationChangeObserver(
    std::function<void()> observer) {
    std::lock_guard lock(observersMutex_);
    auto token = nextToken_++;
    observers_[token] = std::move(observer);
    return token;
}

void AudioGraph::removeConfigurationChangeObserver(ObserverToken token) {
    std::lock_guard lock(observersMutex_);
    observers_.erase(token);
}

void AudioGraph::postConfigurationChange() {
    std::vector<std::function<void()>> copy;
    {
        std::lock_guard lock(observersMutex_);
        for (auto& [token, observer] : observers_) {
            copy.push_back(observer);
        }
    }
    for (auto& observer : copy) {
        observer();
    }
}

}  // namespace qv
