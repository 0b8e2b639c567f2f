#include "Audio/ChannelRouting.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "Audio/AudioRingBuffer.h"
#include "Audio/BusGraphs.h"
#include "Audio/EQLayout.h"
#include "Audio/EngineDiagnostics.h"
#include "Foundation/Log.h"

namespace qv {
namespace {

// Constant-power pan: the left and right factors, or nothing when panning does not apply
// (disabled, or within ±0.001 of centre).
struct PanGains {
    float left;
    float right;
};
std::optional<PanGains> panGains(const InputChannel& channel) {
    const float pan = channel.pan.get();
    if (!channel.panEnabled.get() || std::fabs(pan) <= 0.001f) {
        return std::nullopt;
    }
    constexpr float kPi = 3.1415926f;
    const float angle = (pan + 1.0f) * kPi / 4.0f;
    return PanGains{std::cos(angle), std::sin(angle)};
}

void scale(float* samples, std::int64_t count, float factor) {
    for (std::int64_t i = 0; i < count; ++i) {
        samples[i] *= factor;
    }
}

void detach(const std::shared_ptr<AudioNode>& node) {
    if (auto* graph = node->engine()) {
        graph->detach(node);
    }
}

}  // namespace

bool ChannelRoutes::isAssigned(int busId) const {
    return std::find(assignedBuses.begin(), assignedBuses.end(), busId) != assignedBuses.end();
}

// One channel's nodes in the bus graphs, by bus id.
struct ChannelRouting::Chains {
    std::shared_ptr<ChannelFeed> feed;
    std::map<int, std::shared_ptr<PlayerNode>> players;
    std::map<int, std::shared_ptr<SourceNode>> sources;
    std::map<int, std::shared_ptr<EQNode>> eqs;
    std::map<int, std::shared_ptr<AudioRingBuffer>> rings;
    bool useLowLatencyPath = false;
    Subscription assignmentsChanged;
};

// MARK: - What capture threads do

void ChannelFeed::scheduleToAssignedBuses(const AudioPCMBuffer& buffer, float gain) const {
    // Capture thread: reads the channel's settings and routes without locks. A muted channel
    // is silent on every bus (its capture also stops feeding it).
    const InputChannel& channel = *channel_;
    if (channel.isMuted.get()) {
        return;
    }
    if (state_->hasSoloActive.load() && !channel.isSolo.get()) {
        return;
    }
    const auto pan = panGains(channel);
    auto routes = routes_.read();
    if (!routes) {
        return;
    }
    const auto& format = buffer.format();
    const std::uint32_t channels = format.channelCount;
    const std::uint32_t frames = buffer.frameLength();
    const bool unity = std::fabs(gain - 1.0f) < 0.001f;
    for (const auto& route : routes->players) {
        if (!routes->isAssigned(route.busId)) {
            continue;
        }
        auto copy = std::make_unique<AudioPCMBuffer>(format, buffer.frameCapacity());
        copy->setFrameLength(frames);
        if (!format.interleaved) {
            const float* const* in = buffer.floatChannelData();
            float* const* out = copy->floatChannelData();
            for (std::uint32_t c = 0; c < channels; ++c) {
                float factor = gain;
                if (pan && channels >= 2 && c < 2) {
                    factor = (c == 0 ? pan->left : pan->right) * gain;
                } else if (unity && !pan) {
                    factor = 1.0f;
                }
                if (factor == 1.0f) {
                    std::copy_n(in[c], frames, out[c]);
                } else {
                    for (std::uint32_t i = 0; i < frames; ++i) {
                        out[c][i] = in[c][i] * factor;
                    }
                }
            }
        }
        auto& player = *route.node;
        if (!player.isPlaying()) {
            player.play();
        }
        state_->updateBusMeterFromBuffer(route.busId, *copy);
        player.scheduleBuffer(std::move(copy));
    }
}

void ChannelFeed::writeToRings(const float* left, const float* right, std::int64_t count) const {
    if (auto routes = routes_.read()) {
        for (const auto& [busId, ring] : routes->rings) {
            if (routes->isAssigned(busId)) {
                ring->write(left, right, count);
            }
        }
    }
}

// MARK: - Chains

ChannelRouting::ChannelRouting(MixerState& state, BusGraphs& buses,
                               std::shared_ptr<EngineAudioState> audio)
    : state_(state), buses_(buses), audio_(std::move(audio)) {
    channelsChanged_ =
        state_.inputChannels.observeDidSet([this](const auto&) { forgetRemovedChannels(); });
}

ChannelRouting::~ChannelRouting() {
    channelsChanged_.reset();
    // Render blocks and players hold what they play; dropping the chains lets them go.
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
        slot->feed = std::make_shared<ChannelFeed>(channel, audio_);
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
    for (const auto& [busId, node] : chains.players) {
        next->players.push_back({busId, node});
    }
    for (const auto& [busId, ring] : chains.rings) {
        next->rings.emplace_back(busId, ring);
    }
    chains.feed->routes_.publish(std::move(next));
}

void ChannelRouting::setupChannelAudio(const std::shared_ptr<InputChannel>& channel) {
    Chains& chains = chainsOf(channel);
    for (const auto& bus : state_.outputBusses.get()) {
        if (buses_.find(bus->id)) {
            buildPlayerChain(channel, *bus);
        }
    }
    Log::line("✅ Audio chain setup for " + channel->name.get() + " (" +
              std::to_string(chains.players.size()) + " buses)");
}

void ChannelRouting::buildPlayerChain(const std::shared_ptr<InputChannel>& channel,
                                      const OutputBus& bus) {
    const BusGraph* target = buses_.find(bus.id);
    if (!target) {
        return;
    }
    Chains& chains = chainsOf(channel);
    auto& graph = *target->graph;
    auto player = std::make_shared<PlayerNode>();
    auto eq = std::make_shared<EQNode>();
    graph.attach(player);
    graph.attach(eq);
    shapeEQ(*eq, *channel);
    graph.connect(player, *eq, internalFormat());
    graph.connect(eq, *target->mixer, internalFormat());
    if (auto old = chains.players.find(bus.id); old != chains.players.end()) {
        old->second->stop();
        detach(old->second);
    }
    if (auto old = chains.eqs.find(bus.id); old != chains.eqs.end()) {
        detach(old->second);
    }
    chains.players[bus.id] = player;
    chains.eqs[bus.id] = eq;
    publishRoutes(chains);
    if (state_.isRunning.get()) {
        player->play();
    }
}

void ChannelRouting::releasePlayerChains(Chains& chains) {
    for (auto& [busId, player] : chains.players) {
        player->stop();
        detach(player);
    }
    chains.players.clear();
    publishRoutes(chains);
    for (auto& [busId, eq] : chains.eqs) {
        detach(eq);
    }
    chains.eqs.clear();
}

void ChannelRouting::teardownChannelAudio(const InputChannel& channel) {
    Chains* chains = find(channel.id);
    if (!chains) {
        return;
    }
    releasePlayerChains(*chains);
    for (auto& [busId, source] : chains->sources) {
        detach(source);
    }
    chains->sources.clear();
    chains->rings.clear();
    publishRoutes(*chains);
    chains->useLowLatencyPath = false;
}

void ChannelRouting::setupChannelSourceInBus(const std::shared_ptr<InputChannel>& channel,
                                             const OutputBus& bus) {
    const BusGraph* target = buses_.find(bus.id);
    if (!target) {
        return;
    }
    Chains& chains = chainsOf(channel);
    auto& ring = chains.rings[bus.id];
    if (!ring) {
        ring = std::make_shared<AudioRingBuffer>();
    }
    // The render block keeps what it reads alive; it never frees, allocates or logs.
    auto source = std::make_shared<SourceNode>(
        [feed = chains.feed, ring, busId = bus.id](float* const* out, int channels, int frames) {
            // Render thread. The node hands over silence; every guard leaves it so.
            const InputChannel& c = feed->channel();
            if (c.isMuted.get()) {
                return;
            }
            {
                auto routes = feed->routes().read();
                if (!routes || !routes->isAssigned(busId)) {
                    return;
                }
            }
            if (feed->state().hasSoloActive.load() && !c.isSolo.get()) {
                return;
            }
            if (channels < 2 || !out[0] || !out[1]) {
                return;
            }
            ring->read(out[0], out[1], frames);
            const float g = c.linearGain();
            if (auto pan = panGains(c)) {
                scale(out[0], frames, pan->left * g);
                scale(out[1], frames, pan->right * g);
            } else if (std::fabs(g - 1.0f) > 0.001f) {
                scale(out[0], frames, g);
                scale(out[1], frames, g);
            }
            feed->state().updateBusMeterDirect(busId, out[0], frames);
        });
    auto& graph = *target->graph;
    graph.attach(source);
    auto eq = std::make_shared<EQNode>();
    graph.attach(eq);
    shapeEQ(*eq, *channel);
    graph.connect(source, *eq, internalFormat());
    graph.connect(eq, *target->mixer, internalFormat());
    chains.sources[bus.id] = source;
    chains.eqs[bus.id] = eq;
    publishRoutes(chains);
    Log::line("🚀 Low-latency source node created for " + channel->name.get() + " → Bus " +
              std::to_string(bus.id));
}

void ChannelRouting::attachChannels(const OutputBus& bus) {
    for (const auto& channel : state_.inputChannels.get()) {
        if (isLowLatency(*channel)) {
            setupChannelSourceInBus(channel, bus);
        } else {
            buildPlayerChain(channel, bus);
        }
    }
}

void ChannelRouting::releaseBus(int busId) {
    for (auto& [id, chains] : chains_) {
        if (auto it = chains->players.find(busId); it != chains->players.end()) {
            auto player = it->second;
            chains->players.erase(it);
            publishRoutes(*chains);
            player->stop();
            detach(player);
        }
        if (auto it = chains->sources.find(busId); it != chains->sources.end()) {
            auto source = it->second;
            chains->sources.erase(it);
            detach(source);
        }
        if (chains->rings.erase(busId) > 0) {
            publishRoutes(*chains);
        }
        if (auto it = chains->eqs.find(busId); it != chains->eqs.end()) {
            auto eq = it->second;
            chains->eqs.erase(it);
            detach(eq);
        }
    }
}

void ChannelRouting::enterLowLatencyPath(const std::shared_ptr<InputChannel>& channel) {
    Chains& chains = chainsOf(channel);
    chains.useLowLatencyPath = true;
    releasePlayerChains(chains);
    for (const auto& bus : state_.outputBusses.get()) {
        setupChannelSourceInBus(channel, *bus);
    }
}

void ChannelRouting::leaveLowLatencyPath(const std::shared_ptr<InputChannel>& channel) {
    Chains* chains = find(channel->id);
    if (!chains || !chains->useLowLatencyPath) {
        return;
    }
    for (auto& [busId, source] : chains->sources) {
        detach(source);
    }
    chains->sources.clear();
    for (auto& [busId, ring] : chains->rings) {
        ring->reset();
    }
    chains->rings.clear();
    publishRoutes(*chains);
    chains->useLowLatencyPath = false;
    // Without this the channel would have no player chains, and a following application or
    // standard-path source would play nowhere. A new chain replaces the source chain's
    // equaliser on its bus.
    for (const auto& bus : state_.outputBusses.get()) {
        if (buses_.find(bus->id)) {
            buildPlayerChain(channel, *bus);
        }
    }
}

bool ChannelRouting::isLowLatency(const InputChannel& channel) const {
    const Chains* chains = find(channel.id);
    return chains && chains->useLowLatencyPath;
}

void ChannelRouting::setPlayerMinimum(const InputChannel& channel, std::uint32_t frames) {
    if (Chains* chains = find(channel.id)) {
        for (auto& [busId, player] : chains->players) {
            player->setMinimumQueuedFrames(frames);
        }
    }
}

void ChannelRouting::playAll(const InputChannel& channel) {
    if (Chains* chains = find(channel.id)) {
        for (auto& [busId, player] : chains->players) {
            if (!player->isPlaying()) {
                player->play();
            }
        }
    }
}

void ChannelRouting::playBus(int busId) {
    for (auto& [id, chains] : chains_) {
        if (auto it = chains->players.find(busId); it != chains->players.end()) {
            it->second->play();
        }
    }
}

void ChannelRouting::stopAll(const InputChannel& channel) {
    if (Chains* chains = find(channel.id)) {
        for (auto& [busId, player] : chains->players) {
            player->stop();
        }
    }
}

void ChannelRouting::updateChannelEQ(const InputChannel& channel) {
    if (Chains* chains = find(channel.id)) {
        for (auto& [busId, eq] : chains->eqs) {
            shapeEQ(*eq, channel);
        }
    }
}

void ChannelRouting::collectRetired() {
    for (auto& [id, chains] : chains_) {
        chains->feed->routes_.collect();
    }
}

void ChannelRouting::describe(EngineDiagnostics& diagnostics) const {
    for (const auto& channel : state_.inputChannels.get()) {
        ChannelDiagnostics d;
        d.channelId = channel->id;
        if (const Chains* chains = find(channel->id)) {
            d.isLowLatency = chains->useLowLatencyPath;
            std::map<int, ChannelBusDiagnostics> buses;
            auto at = [&](int busId) -> ChannelBusDiagnostics& {
                auto& b = buses[busId];
                b.busId = busId;
                return b;
            };
            for (const auto& [busId, player] : chains->players) {
                auto& b = at(busId);
                b.hasPlayer = true;
                b.isPlayerPlaying = player->isPlaying();
                b.playerMinimumQueued = player->minimumQueuedFrames();
            }
            for (const auto& [busId, source] : chains->sources) {
                at(busId).hasSource = true;
            }
            for (const auto& [busId, ring] : chains->rings) {
                at(busId).hasRing = true;
            }
            for (const auto& [busId, eq] : chains->eqs) {
                EQDiagnostics e;
                e.bypass = eq->bypass();
                for (int i = 0; i < EQNode::kBandCount; ++i) {
                    e.bands[static_cast<std::size_t>(i)] = eq->band(i);
                }
                at(busId).eq = e;
            }
            for (auto& [busId, b] : buses) {
                d.buses.push_back(b);
            }
        }
        diagnostics.channels.push_back(std::move(d));
    }
}

}  // namespace qv
