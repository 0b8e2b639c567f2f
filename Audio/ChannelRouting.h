#pragma once

#include <map>
#include <memory>
#include <vector>

#include "Audio/EngineAudioState.h"
#include "Audio/InputChannel.h"
#include "Audio/MixerState.h"
#include "Audio/Platform/AudioPCMBuffer.h"
#include "Audio/Platform/EQNode.h"
#include "Audio/Platform/PlayerNode.h"
#include "Audio/Platform/SourceNode.h"
#include "Foundation/RcuCell.h"

namespace qv {

class AudioRingBuffer;
class BusGraphs;
struct EngineDiagnostics;

// Where a channel's audio goes, as capture and render threads see it: the buses it is assigned
// to, its player chains and its ring buffers. Republished whole by the main thread.
struct ChannelRoutes {
    struct Player {
        int busId = 0;
        std::shared_ptr<PlayerNode> node;
    };
    std::vector<int> assignedBuses;                                       // sorted
    std::vector<Player> players;                                          // in bus id order
    std::vector<std::pair<int, std::shared_ptr<AudioRingBuffer>>> rings;  // by bus id

    bool isAssigned(int busId) const;
};

// What capture and render threads use of one channel: its settings, its routes and the meter
// hand-over. Shared with the threads, so it lives as long as the last of them holds it. Its
// operations run on capture threads and never wait.
class ChannelFeed {
  public:
    ChannelFeed(std::shared_ptr<InputChannel> channel, std::shared_ptr<EngineAudioState> state)
        : channel_(std::move(channel)), state_(std::move(state)) {}

    const InputChannel& channel() const { return *channel_; }
    EngineAudioState& state() const { return *state_; }
    const RcuCell<ChannelRoutes>& routes() const { return routes_; }

    // Capture thread: a gained, panned copy of `buffer` (internal format) on every assigned
    // bus's player, unless the channel is muted or another channel is soloed.
    void scheduleToAssignedBuses(const AudioPCMBuffer& buffer, float gain) const;
    // Capture thread: the frames into the ring buffer of every assigned bus.
    void writeToRings(const float* left, const float* right, std::int64_t count) const;

  private:
    friend class ChannelRouting;
    std::shared_ptr<InputChannel> channel_;
    std::shared_ptr<EngineAudioState> state_;
    RcuCell<ChannelRoutes> routes_;
};

// Every channel's chains in the bus graphs, keyed by channel id and bus id: a player chain
// (player, equaliser) fed by capture threads, or a source chain (source node, equaliser) that
// drains a ring buffer on the bus's render thread. Both end in the bus's mixer. Main thread.
class ChannelRouting {
  public:
    ChannelRouting(MixerState& state, BusGraphs& buses, std::shared_ptr<EngineAudioState> audio);
    ~ChannelRouting();
    ChannelRouting(const ChannelRouting&) = delete;
    ChannelRouting& operator=(const ChannelRouting&) = delete;

    // The channel's feed, made on first use; channels that leave the mixer's list are
    // forgotten.
    std::shared_ptr<ChannelFeed> feed(const std::shared_ptr<InputChannel>& channel);

    // A player chain on every bus that has a graph.
    void setupChannelAudio(const std::shared_ptr<InputChannel>& channel);
    // Removes every chain of the channel.
    void teardownChannelAudio(const InputChannel& channel);
    // A source chain on one bus, with the channel's ring buffer for that bus.
    void setupChannelSourceInBus(const std::shared_ptr<InputChannel>& channel,
                                 const OutputBus& bus);
    // Every channel's chain on a bus whose graph was just built.
    void attachChannels(const OutputBus& bus);
    // Every channel's nodes and ring buffer on a bus whose graph goes away.
    void releaseBus(int busId);

    // The low-latency path: source chains on every bus instead of player chains.
    void enterLowLatencyPath(const std::shared_ptr<InputChannel>& channel);
    // Back to player chains on every bus that has a graph; the ring buffers are reset.
    void leaveLowLatencyPath(const std::shared_ptr<InputChannel>& channel);
    bool isLowLatency(const InputChannel& channel) const;

    // Frames a player waits for before it plays (see PlayerNode), on the channel's players.
    void setPlayerMinimum(const InputChannel& channel, std::uint32_t frames);
    void playAll(const InputChannel& channel);
    // Every channel's player on the bus.
    void playBus(int busId);
    void stopAll(const InputChannel& channel);
    // Every equaliser of the channel takes its settings again.
    void updateChannelEQ(const InputChannel& channel);

    // Frees routes that capture and render threads can no longer see.
    void collectRetired();
    void describe(EngineDiagnostics& diagnostics) const;

  private:
    struct Chains;
    Chains* find(const Uuid& id);
    const Chains* find(const Uuid& id) const;
    Chains& chainsOf(const std::shared_ptr<InputChannel>& channel);
    void buildPlayerChain(const std::shared_ptr<InputChannel>& channel, const OutputBus& bus);
    void releasePlayerChains(Chains& chains);
    void publishRoutes(Chains& chains);
    void forgetRemovedChannels();

    MixerState& state_;
    BusGraphs& buses_;
    std::shared_ptr<EngineAudioState> audio_;
    std::map<Uuid, std::unique_ptr<Chains>> chains_;
    Subscription channelsChanged_;
};

}  // namespace qv
