#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "Audio/OutputBus.h"
#include "Audio/Platform/AudioGraph.h"
#include "Audio/Platform/DelayNode.h"
#include "Audio/Platform/EQNode.h"
#include "Audio/Platform/MixerNode.h"
#include "Foundation/TaskScope.h"

namespace qv {

struct EngineDiagnostics;

// One bound bus's graph: every channel's chain feeds `mixer` (fader and mute), then the bus
// equaliser and delay, then the graph's output on the bus's device.
struct BusGraph {
    std::shared_ptr<AudioGraph> graph;
    std::shared_ptr<MixerNode> mixer;
    std::shared_ptr<EQNode> eq;
    std::shared_ptr<DelayNode> delay;
};

// The buses' graphs, keyed by bus id, and the watch on their devices: a configuration change
// of a bus's graph leads, 0.15 s after the last of a burst, to one recovery of that bus.
// Main thread.
class BusGraphs {
  public:
    struct Hooks {
        std::function<bool()> isSleeping;  // changes during system sleep are ignored
        std::function<void(const std::shared_ptr<OutputBus>&)> recover;
    };
    BusGraphs(AudioHardware& hardware, MainQueue& queue, Hooks hooks);
    ~BusGraphs();
    BusGraphs(const BusGraphs&) = delete;
    BusGraphs& operator=(const BusGraphs&) = delete;

    // Builds the bus's graph on the device with the bus's fader, mute, equaliser and delay,
    // replacing (and stopping) the graph it had. Not started.
    const BusGraph& build(const OutputBus& bus, DeviceID device);
    // Stops and forgets the bus's graph.
    void drop(int busId);
    const BusGraph* find(int busId) const;

    // Starts the graph (success while its stream still opens). A stream that cannot open after
    // all is handed to `onLateFailure` later.
    // `onStarted` runs once the bus plays: before start() returns, or later on the main queue
    // when its stream opens in the background.
    AudioResult start(int busId, std::function<void(AudioResult)> onLateFailure,
                      std::function<void()> onStarted = {});
    bool isRunning(int busId) const;
    // Stops every graph; graphs and nodes stay built.
    void stopAll();
    // Every bus fades to silence (its mixer ramps to 0); applyVolume brings it back.
    void fadeOutAll();

    // The bus's settings onto its nodes, when it has a graph.
    void applyVolume(const OutputBus& bus);  // 0 when muted, else 10^(faderLevel / 20)
    void applyDelay(const OutputBus& bus);   // delayMs, at most 2 s; bypassed at 0 or below
    void applyEQ(const OutputBus& bus);

    // Watches the bus's graph for configuration changes, replacing an earlier watch.
    void observe(const std::shared_ptr<OutputBus>& bus);
    // Ends the watch on the bus and drops its pending recovery.
    void removeObserver(int busId);
    void removeAllObservers();
    // Drops every pending recovery; the watches stay.
    void cancelRecoveries();

    void describe(EngineDiagnostics& diagnostics) const;

  private:
    void debouncedBusRecovery(const std::shared_ptr<OutputBus>& bus);

    struct Watch {
        std::weak_ptr<AudioGraph> graph;
        AudioGraph::ObserverToken token = 0;
    };

    AudioHardware& hardware_;
    TaskScope tasks_;
    Hooks hooks_;
    std::map<int, BusGraph> graphs_;
    std::map<int, Watch> busConfigObservers_;
    std::map<int, TaskHandle> busRecoveryWorkItems_;
};

}  // namespace qv
