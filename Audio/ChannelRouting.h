#pragma once

#include <map>
#include <memory>

#include "Audio/ChannelFeed.h"
#include "Audio/MixerState.h"
#include "Audio/Platform/EQNode.h"
#include "Audio/Platform/SourceNode.h"
#include "Foundation/MainQueue.h"

namespace qv {

class AudioHardware;
class BusGraphs;
struct EngineDiagnostics;

// Every channel's chain in every bus graph, keyed by channel id and bus id: a source node that
// plays the channel's hand-over for that bus (ChannelBusInput), then the channel's equaliser
// for that bus, into the bus's mixer. Whatever captures the channel (a microphone on either
// path, an application, system audio) delivers into the same chains. Main thread.
class ChannelRouting {
  public:
    ChannelRouting(MixerState& state, BusGraphs& buses, std::shared_ptr<EngineAudioState> audio,
                   const AudioHardware& clock);
    ~ChannelRouting();
    ChannelRouting(const ChannelRouting&) = delete;
    ChannelRouting& operator=(const ChannelRouting&) = delete;

    // The channel's feed, made on first use; channels that leave the mixer's list are
    // forgotten.
    std::shared_ptr<ChannelFeed> feed(const std::shared_ptr<InputChannel>& channel);

    // A chain on every bus that has a graph; a chain already in a bus's current graph stays.
    void setupChannelAudio(const std::shared_ptr<InputChannel>& channel);
    // Removes every chain of the channel.
    void teardownChannelAudio(const InputChannel& channel);
    // The chain on one bus, for a channel on the low-latency path.
    void setupChannelSourceInBus(const std::shared_ptr<InputChannel>& channel,
                                 const OutputBus& bus);
    // Every channel's chain on a bus whose graph was just built.
    void attachChannels(const OutputBus& bus);
    // Every channel's chain on a bus whose graph goes away.
    void releaseBus(int busId);

    // The low-latency path: the microphone's own frames go straight into the chains.
    void enterLowLatencyPath(const std::shared_ptr<InputChannel>& channel);
    void leaveLowLatencyPath(const InputChannel& channel);
    bool isLowLatency(const InputChannel& channel) const;
    // The channel's source stopped: what it left in the hand-overs is dropped, and the next
    // source starts afresh.
    void sourceStopped(const InputChannel& channel);

    // Every equaliser of the channel takes its settings again.
    void updateChannelEQ(const InputChannel& channel);

    // Frees routes that capture and render threads can no longer see.
    void collectRetired();
    // Logs the hand-overs that ran dry or overran since they were last reported, each at most
    // once a second: "⚠️ Hand-over NAME → Bus N: +U underrun frames, +O overrun frames".
    void reportHandOvers(Seconds now);
    void describe(EngineDiagnostics& diagnostics) const;

  private:
    struct Chains;
    Chains* find(const Uuid& id);
    const Chains* find(const Uuid& id) const;
    Chains& chainsOf(const std::shared_ptr<InputChannel>& channel);
    // Builds the chain unless one is in the bus's current graph; true when it built one.
    bool buildChain(const std::shared_ptr<InputChannel>& channel, const OutputBus& bus);
    void publishRoutes(Chains& chains);
    void forgetRemovedChannels();

    MixerState& state_;
    BusGraphs& buses_;
    std::shared_ptr<EngineAudioState> audio_;
    const AudioHardware& clock_;
    std::map<Uuid, std::unique_ptr<Chains>> chains_;
    Subscription channelsChanged_;
};

}  // namespace qv
