#include "Audio/ChannelRouting.h"

#include <algorithm>

#include "Audio/BusGraphs.h"
#include "Audio/EQLayout.h"
#include "Audio/EngineDiagnostics.h"
#include "Foundation/Log.h"

namespace qv {
namespace {

void detach(const std::shared_ptr<AudioNode>& node) {
    if (auto* graph = node->engine()) {
        graph->detach(node);
    }
}

}  // namespace

// One channel's nodes in the bus graphs, by bus id.
struct ChannelRouting::Chains {
    struct Chain {
        std::shared_ptr<ChannelBusInput> input;
        std::shared_ptr<SourceNode> source;
        std::shared_ptr<EQNode> eq;
        const AudioGraph* graph = nullptr;
        // What the log has told of its hand-over.
        std::uint64_t reportedUnderruns = 0;
        std::uint64_t reportedOverruns = 0;
        Seconds reportedAt = -1e9;
    };
    std::shared_ptr<ChannelFeed> feed;
    std::map<int, Chain> buses;
    bool useLowLatencyPath = false;
    Subscription assignmentsChanged;

    void release(Chain& chain) {
        detach(chain.source);
        detach(chain.eq);
    }
};

ChannelRouting::ChannelRouting(MixerState& state, BusGraphs& buses,
                               std::shared_ptr<EngineAudioState> audio, const AudioHardware& clock)
    : state_(state), buses_(buses), audio_(std::move(audio)), clock_(clock) {
    channelsChanged_ =
        state_.inputChannels.observeDidSet([this](const auto&) { forgetRemovedChannels(); });
}

ChannelRouting::~ChannelRouting() {
    channelsChanged_.reset();
    // Render blocks hold what they play; dropping the chains lets them go.
    for (auto& [id, chains] : chains_) {
        teardownChannelAudio(chains->feed->channel());
    }
}

ChannelRouting::Chains* ChannelRouting::find(const Uuid& id) {
    auto it = chains_.find(id);
    return it == chains_.end() ? nullptr : it->second.get();
}

const ChannelRouting::Chains* ChannelRouting::find(const Uuid& id) const {
    auto it = chains_.find(id);
    return it == chains_.end() ? nullptr : it->second.get();
}

ChannelRouting::Chains& ChannelRouting::chainsOf(const std::shared_ptr<InputChannel>& channel) {
    auto& slot = chains_[channel->id];
    if (!slot) {
        slot = std::make_unique<Chains>();
        slot->feed = std::make_shared<ChannelFeed>(channel, audio_, clock_);
        Chains* chains = slot.get();
        chains->assignmentsChanged = channel->busAssignments.observeDidSet(
            [this, chains](const auto&) { publishRoutes(*chains); });
        publishRoutes(*chains);
    }
    return *slot;
}

std::shared_ptr<ChannelFeed> ChannelRouting::feed(const std::shared_ptr<InputChannel>& channel) {
    return chainsOf(channel).feed;
}

void ChannelRouting::forgetRemovedChannels() {
    const auto& channels = state_.inputChannels.get();
    for (auto it = chains_.begin(); it != chains_.end();) {
        const bool listed = std::any_of(channels.begin(), channels.end(),
                                        [&](const auto& c) { return c->id == it->first; });
        if (listed) {
            ++it;
            continue;
        }
        // A channel leaves the list after its chains are gone; whatever is left goes now.
        teardownChannelAudio(it->second->feed->channel());
        it = chains_.erase(it);
    }
}

void ChannelRouting::publishRoutes(Chains& chains) {
    auto next = std::make_unique<ChannelRoutes>();
    const auto& assigned = chains.feed->channel().busAssignments.get();
    next->assignedBuses.assign(assigned.begin(), assigned.end());
    for (const auto& [busId, chain] : chains.buses) {
        next->rings.emplace_back(busId, chain.input->ring());
    }
    chains.feed->routes_.publish(std::move(next));
}

bool ChannelRouting::buildChain(const std::shared_ptr<InputChannel>& channel,
                                const OutputBus& bus) {
    const BusGraph* target = buses_.find(bus.id);
    if (!target) {
        return false;
    }
    Chains& chains = chainsOf(channel);
    auto existing = chains.buses.find(bus.id);
    if (existing != chains.buses.end() && existing->second.graph == target->graph.get() &&
        existing->second.source->engine() == target->graph.get()) {
        return false;
    }
    Chains::Chain chain;
    chain.input = std::make_shared<ChannelBusInput>(chains.feed, bus.id);
    // The render block keeps what it plays alive; it never frees, allocates or logs.
    chain.source = std::make_shared<SourceNode>(
        [input = chain.input](float* const* out, int channels, int frames) {
            if (channels >= 2 && out[0] && out[1]) {
                input->render(out[0], out[1], frames);
            }
        });
    chain.eq = std::make_shared<EQNode>();
    chain.graph = target->graph.get();
    auto& graph = *target->graph;
    graph.attach(chain.source);
    graph.attach(chain.eq);
    shapeEQ(*chain.eq, *channel);
    graph.connect(chain.source, *chain.eq, internalFormat());
    graph.connect(chain.eq, *target->mixer, internalFormat());
    if (existing != chains.buses.end()) {
        chains.release(existing->second);
        existing->second = std::move(chain);
    } else {
        chains.buses.emplace(bus.id, std::move(chain));
    }
    publishRoutes(chains);
    return true;
}

void ChannelRouting::setupChannelAudio(const std::shared_ptr<InputChannel>& channel) {
    Chains& chains = chainsOf(channel);
    for (const auto& bus : state_.outputBusses.get()) {
        buildChain(channel, *bus);
    }
    Log::line("✅ Audio chain setup for " + channel->name.get() + " (" +
              std::to_string(chains.buses.size()) + " buses)");
}

void ChannelRouting::teardownChannelAudio(const InputChannel& channel) {
    Chains* chains = find(channel.id);
    if (!chains) {
        return;
    }
    for (auto& [busId, chain] : chains->buses) {
        chains->release(chain);
    }
    chains->buses.clear();
    publishRoutes(*chains);
    chains->useLowLatencyPath = false;
}

void ChannelRouting::setupChannelSourceInBus(const std::shared_ptr<InputChannel>& channel,
                                             const OutputBus& bus) {
    if (!buses_.find(bus.id)) {
        return;
    }
    buildChain(channel, bus);
    Log::line("🚀 Low-latency source node created for " + channel->name.get() + " → Bus " +
              std::to_string(bus.id));
}

void ChannelRouting::attachChannels(const OutputBus& bus) {
    for (const auto& channel : state_.inputChannels.get()) {
        if (isLowLatency(*channel)) {
            setupChannelSourceInBus(channel, bus);
        } else {
            buildChain(channel, bus);
        }
    }
}

void ChannelRouting::releaseBus(int busId) {
    for (auto& [id, chains] : chains_) {
        if (auto it = chains->buses.find(busId); it != chains->buses.end()) {
            Chains::Chain chain = std::move(it->second);
            chains->buses.erase(it);
            publishRoutes(*chains);
            chains->release(chain);
        }
    }
}

void ChannelRouting::enterLowLatencyPath(const std::shared_ptr<InputChannel>& channel) {
    Chains& chains = chainsOf(channel);
    chains.useLowLatencyPath = true;
    for (const auto& bus : state_.outputBusses.get()) {
        setupChannelSourceInBus(channel, *bus);
    }
}

void ChannelRouting::leaveLowLatencyPath(const InputChannel& channel) {
    if (Chains* chains = find(channel.id)) {
        chains->useLowLatencyPath = false;
    }
}

bool ChannelRouting::isLowLatency(const InputChannel& channel) const {
    const Chains* chains = find(channel.id);
    return chains && chains->useLowLatencyPath;
}

void ChannelRouting::sourceStopped(const InputChannel& channel) {
    if (Chains* chains = find(channel.id)) {
        chains->feed->endSession();
        for (auto& [busId, chain] : chains->buses) {
            chain.input->ring()->reset();
        }
    }
}

void ChannelRouting::updateChannelEQ(const InputChannel& channel) {
    if (Chains* chains = find(channel.id)) {
        for (auto& [busId, chain] : chains->buses) {
            shapeEQ(*chain.eq, channel);
        }
    }
}

void ChannelRouting::collectRetired() {
    for (auto& [id, chains] : chains_) {
        chains->feed->routes_.collect();
    }
}

void ChannelRouting::reportHandOvers(Seconds now) {
    for (auto& [id, chains] : chains_) {
        for (auto& [busId, chain] : chains->buses) {
            const AudioRingBuffer& ring = chain.input->bridge().ring();
            const std::uint64_t under = ring.underrunFrames();
            const std::uint64_t over = ring.overrunFrames();
            if ((under == chain.reportedUnderruns && over == chain.reportedOverruns) ||
                now - chain.reportedAt < 1.0) {
                continue;
            }
            Log::line("⚠️ Hand-over " + chains->feed->channel().name.get() + " → Bus " +
                      std::to_string(busId) + ": +" +
                      std::to_string(under - chain.reportedUnderruns) + " underrun frames, +" +
                      std::to_string(over - chain.reportedOverruns) + " overrun frames");
            chain.reportedUnderruns = under;
            chain.reportedOverruns = over;
            chain.reportedAt = now;
        }
    }
}

void ChannelRouting::describe(EngineDiagnostics& diagnostics) const {
    for (const auto& channel : state_.inputChannels.get()) {
        ChannelDiagnostics d;
        d.channelId = channel->id;
        if (const Chains* chains = find(channel->id)) {
            d.isLowLatency = chains->useLowLatencyPath;
            for (const auto& [busId, chain] : chains->buses) {
                ChannelBusDiagnostics b;
                b.busId = busId;
                const ClockBridge& bridge = chain.input->bridge();
                b.isFlowing = bridge.isFlowing();
                b.latencyFrames = bridge.delayFrames();
                b.settledLatencyFrames = bridge.settledDelayFrames();
                b.ratio = bridge.ratio();
                b.dropouts = bridge.dropouts();
                b.underrunFrames = bridge.ring().underrunFrames();
                b.overrunFrames = bridge.ring().overrunFrames();
                EQDiagnostics e;
                e.bypass = chain.eq->bypass();
                for (int i = 0; i < EQNode::kBandCount; ++i) {
                    e.bands[static_cast<std::size_t>(i)] = chain.eq->band(i);
                }
                b.eq = e;
                d.buses.push_back(b);
            }
        }
        diagnostics.channels.push_back(std::move(d));
    }
}

}  // namespace qv
