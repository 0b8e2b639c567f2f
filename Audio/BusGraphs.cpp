#include "Audio/BusGraphs.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "Audio/EQLayout.h"
#include "Audio/EngineDiagnostics.h"
#include "Foundation/Log.h"

namespace qv {
namespace {

float busVolume(const OutputBus& bus) {
    return bus.isMuted.get() ? 0.0f : std::pow(10.0f, bus.faderLevel.get() / 20.0f);
}

void setDelay(DelayNode& delay, float delayMs) {
    delay.setDelayTime(std::min(static_cast<double>(delayMs) / 1000.0, 2.0));
    delay.setFeedback(0.0f);
    delay.setWetDryMix(delayMs > 0 ? 100.0f : 0.0f);
    delay.setBypass(delayMs <= 0);
}

}  // namespace

BusGraphs::BusGraphs(AudioHardware& hardware, MainQueue& queue, Hooks hooks)
    : hardware_(hardware), tasks_(queue), hooks_(std::move(hooks)) {}

BusGraphs::~BusGraphs() {
    removeAllObservers();
    for (auto& [id, bus] : graphs_) {
        bus.graph->stop();
    }
}

const BusGraph& BusGraphs::build(const OutputBus& bus, DeviceID device) {
    BusGraph built;
    built.graph = std::make_shared<AudioGraph>(hardware_);
    built.graph->outputNode().setCurrentDevice(device);
    built.mixer = std::make_shared<MixerNode>();
    built.eq = std::make_shared<EQNode>();
    built.delay = std::make_shared<DelayNode>();
    AudioGraph& graph = *built.graph;
    graph.attach(built.mixer);
    graph.attach(built.eq);
    graph.attach(built.delay);
    shapeEQ(*built.eq, bus);
    setDelay(*built.delay, bus.delayMs.get());
    const AudioFormat format = internalFormat();
    graph.connect(built.mixer, *built.eq, format);
    graph.connect(built.eq, *built.delay, format);
    graph.connect(built.delay, graph.mainMixerNode(), format);
    built.mixer->setOutputVolume(busVolume(bus));

    auto& slot = graphs_[bus.id];
    if (slot.graph) {
        slot.graph->stop();
    }
    slot = std::move(built);
    return slot;
}

void BusGraphs::drop(int busId) {
    if (auto it = graphs_.find(busId); it != graphs_.end()) {
        it->second.graph->stop();
        graphs_.erase(it);
    }
}

const BusGraph* BusGraphs::find(int busId) const {
    auto it = graphs_.find(busId);
    return it == graphs_.end() ? nullptr : &it->second;
}

AudioResult BusGraphs::start(int busId, std::function<void(AudioResult)> onLateFailure,
                             std::function<void()> onStarted) {
    auto it = graphs_.find(busId);
    if (it == graphs_.end()) {
        return AudioError::deviceNotFound;
    }
    AudioGraph& graph = *it->second.graph;
    graph.setStartFailureHandler(tasks_.guard<AudioResult>(std::move(onLateFailure)));
    // Once: the handler is dropped as soon as it has run.
    auto once = std::make_shared<std::function<void()>>(std::move(onStarted));
    graph.setStartedHandler(tasks_.guard([once] {
        if (auto f = std::exchange(*once, {})) {
            f();
        }
    }));
    const AudioResult result = graph.start();
    if (result.ok() && !graph.isOpening()) {
        if (auto f = std::exchange(*once, {})) {
            f();
        }
    }
    return result;
}

bool BusGraphs::isRunning(int busId) const {
    const BusGraph* bus = find(busId);
    return bus && bus->graph->isRunning();
}

void BusGraphs::stopAll() {
    for (auto& [id, bus] : graphs_) {
        bus.graph->stop();
    }
}

void BusGraphs::fadeOutAll() {
    for (auto& [id, bus] : graphs_) {
        bus.mixer->setOutputVolume(0.0f);
    }
}

void BusGraphs::applyVolume(const OutputBus& bus) {
    if (auto it = graphs_.find(bus.id); it != graphs_.end()) {
        it->second.mixer->setOutputVolume(busVolume(bus));
    }
}

void BusGraphs::applyDelay(const OutputBus& bus) {
    if (auto it = graphs_.find(bus.id); it != graphs_.end()) {
        setDelay(*it->second.delay, bus.delayMs.get());
    }
}

void BusGraphs::applyEQ(const OutputBus& bus) {
    if (auto it = graphs_.find(bus.id); it != graphs_.end()) {
        shapeEQ(*it->second.eq, bus);
    }
}

void BusGraphs::observe(const std::shared_ptr<OutputBus>& bus) {
    auto it = graphs_.find(bus->id);
    if (it == graphs_.end()) {
        return;
    }
    if (auto old = busConfigObservers_.find(bus->id); old != busConfigObservers_.end()) {
        if (auto graph = old->second.graph.lock()) {
            graph->removeConfigurationChangeObserver(old->second.token);
        }
    }
    // Runs on whichever thread reports the change: it only logs and hops to the main queue.
    auto recover = tasks_.guard([this, bus] { debouncedBusRecovery(bus); });
    auto token = it->second.graph->addConfigurationChangeObserver(
        [queue = &tasks_.queue(), recover, busId = bus->id] {
            Log::line("⚠️ Bus " + std::to_string(busId) + " engine config changed");
            queue->post(recover);
        });
    busConfigObservers_[bus->id] = Watch{it->second.graph, token};
}

void BusGraphs::removeObserver(int busId) {
    if (auto it = busConfigObservers_.find(busId); it != busConfigObservers_.end()) {
        if (auto graph = it->second.graph.lock()) {
            graph->removeConfigurationChangeObserver(it->second.token);
        }
        busConfigObservers_.erase(it);
    }
    if (auto it = busRecoveryWorkItems_.find(busId); it != busRecoveryWorkItems_.end()) {
        it->second.cancel();
        busRecoveryWorkItems_.erase(it);
    }
}

void BusGraphs::removeAllObservers() {
    while (!busConfigObservers_.empty()) {
        removeObserver(busConfigObservers_.begin()->first);
    }
}

void BusGraphs::cancelRecoveries() {
    for (auto& [id, item] : busRecoveryWorkItems_) {
        item.cancel();
    }
    busRecoveryWorkItems_.clear();
}

void BusGraphs::debouncedBusRecovery(const std::shared_ptr<OutputBus>& bus) {
    if (hooks_.isSleeping()) {
        Log::line("💤 Ignoring Bus " + std::to_string(bus->id) + " config change during sleep");
        return;
    }
    if (auto it = busRecoveryWorkItems_.find(bus->id); it != busRecoveryWorkItems_.end()) {
        it->second.cancel();
    }
    busRecoveryWorkItems_[bus->id] = tasks_.postAfter(0.15, [this, bus] {
        busRecoveryWorkItems_.erase(bus->id);
        tasks_.post([this, bus] { hooks_.recover(bus); });
    });
}

void BusGraphs::describe(EngineDiagnostics& diagnostics) const {
    for (const auto& [id, bus] : graphs_) {
        BusDiagnostics d;
        d.busId = id;
        d.hasGraph = true;
        d.isRunning = bus.graph->isRunning();
        d.device = bus.graph->outputNode().currentDevice();
        d.mixerVolume = bus.mixer->outputVolume();
        d.delaySeconds = bus.delay->delayTime();
        d.delayWetDryMix = bus.delay->wetDryMix();
        d.delayFeedback = bus.delay->feedback();
        d.delayBypass = bus.delay->bypass();
        d.eq.bypass = bus.eq->bypass();
        for (int i = 0; i < EQNode::kBandCount; ++i) {
            d.eq.bands[static_cast<std::size_t>(i)] = bus.eq->band(i);
        }
        diagnostics.buses.push_back(d);
    }
    for (const auto& [id, watch] : busConfigObservers_) {
        auto it = std::find_if(diagnostics.buses.begin(), diagnostics.buses.end(),
                               [id = id](const BusDiagnostics& b) { return b.busId == id; });
        if (it == diagnostics.buses.end()) {
            it = diagnostics.buses.insert(diagnostics.buses.end(), BusDiagnostics{});
            it->busId = id;
        }
        it->isWatched = true;
    }
    for (const auto& [id, item] : busRecoveryWorkItems_) {
        auto it = std::find_if(diagnostics.buses.begin(), diagnostics.buses.end(),
                               [id = id](const BusDiagnostics& b) { return b.busId == id; });
        if (it == diagnostics.buses.end()) {
            it = diagnostics.buses.insert(diagnostics.buses.end(), BusDiagnostics{});
            it->busId = id;
        }
        it->isRecoveryPending = true;
    }
    std::sort(diagnostics.buses.begin(), diagnostics.buses.end(),
              [](const auto& a, const auto& b) { return a.busId < b.busId; });
}

}  // namespace qv
