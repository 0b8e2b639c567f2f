// Output buses: their graphs, devices, fader, mute, delay and recovery; equaliser layouts.

#include <algorithm>
#include <array>
#include <cmath>

#include "Audio/MultiOutputEngine.h"
#include "Foundation/Log.h"

namespace qv {
namespace {

float busVolume(const OutputBus& bus) {
    return bus.isMuted.get() ? 0.0f : std::pow(10.0f, bus.faderLevel.get() / 20.0f);
}

void applyDelay(DelayNode& delay, float delayMs) {
    delay.setDelayTime(std::min(static_cast<double>(delayMs) / 1000.0, 2.0));
    delay.setFeedback(0.0f);
    delay.setWetDryMix(delayMs > 0 ? 100.0f : 0.0f);
    delay.setBypass(delayMs <= 0);
}

constexpr float kElevenBandFrequencies[11] = {32,   64,   125,  250,   500,  1000,
                                              2000, 4000, 8000, 16000, 20000};

// Shapes an 11-band node from an owner's layout and gains (channel or bus alike). The whole
// layout reaches the render thread at once.
template <class Owner>
void configure(EQNode& node, const Owner& owner) {
    std::array<EQFilterParameters, EQNode::kBandCount> bands;
    for (int i = 0; i < node.bandCount(); ++i) {
        bands[static_cast<std::size_t>(i)] = node.band(i);
        bands[static_cast<std::size_t>(i)].bypass = true;
    }
    auto set = [&](int index, EQFilterType type, float frequency, float bandwidth, float gain) {
        bands[static_cast<std::size_t>(index)] =
            EQFilterParameters{type, frequency, bandwidth, gain, false};
    };
    switch (owner.eqType.get()) {
        case EQType::bands11: {
            const auto& gains = owner.eqBands.get();
            for (int i = 0; i < 11; ++i) {
                if (i >= node.bandCount() || i >= static_cast<int>(gains.size())) {
                    break;
                }
                set(i, EQFilterType::parametric, kElevenBandFrequencies[i], 1.0f,
                    gains[static_cast<std::size_t>(i)]);
            }
            break;
        }
        case EQType::bands3:
            if (node.bandCount() < 3) {
                break;
            }
            set(0, EQFilterType::lowShelf, 80.0f, 1.0f, owner.eqLowGain.get());
            set(1, EQFilterType::parametric, 1000.0f, 1.5f, owner.eqMidGain.get());
            set(2, EQFilterType::highShelf, 8000.0f, 1.0f, owner.eqHighGain.get());
            break;
        case EQType::bands2:
            if (node.bandCount() < 2) {
                break;
            }
            set(0, EQFilterType::lowShelf, 80.0f, 1.0f, owner.eqLowGain.get());
            set(1, EQFilterType::highShelf, 8000.0f, 1.0f, owner.eqHighGain.get());
            break;
    }
    node.setBypass(!owner.eqEnabled.get());
    node.setBands(bands);
}

// Stops the bus graph and drops it with its nodes. Assigning a new device keeps the old
// equaliser node until the new graph replaces it.
void dropBusGraph(OutputBus& bus, bool keepEQ = false) {
    if (bus.outputEngine) {
        bus.outputEngine->stop();
    }
    bus.outputEngine.reset();
    bus.mixerNode.reset();
    bus.delayNode.reset();
    if (!keepEQ) {
        bus.eqNode.reset();
    }
}

}  // namespace

void MultiOutputEngine::configureEQNode(EQNode& node, const InputChannel& channel) const {
    configure(node, channel);
}

void MultiOutputEngine::configureBusEQNode(EQNode& node, const OutputBus& bus) const {
    configure(node, bus);
}

void MultiOutputEngine::updateChannelEQ(const std::shared_ptr<InputChannel>& channel) {
    for (auto& [busId, node] : channel->busEQNodes) {
        configureEQNode(*node, *channel);
    }
}

void MultiOutputEngine::releaseBusChannelNodes(int busId) {
    std::shared_ptr<AudioGraph> graph;
    for (const auto& bus : outputBusses.get()) {
        if (bus->id == busId) {
            graph = bus->outputEngine;
        }
    }
    for (const auto& channel : inputChannels.get()) {
        if (auto it = channel->busPlayerNodes.find(busId); it != channel->busPlayerNodes.end()) {
            auto player = it->second;
            channel->busPlayerNodes.erase(it);
            channel->publishRoutes();
            player->stop();
            if (graph) {
                graph->detach(player);
            }
        }
        if (auto it = channel->busSourceNodes.find(busId); it != channel->busSourceNodes.end()) {
            auto source = it->second;
            channel->busSourceNodes.erase(it);
            if (graph) {
                graph->detach(source);
            }
        }
        if (channel->busRingBuffers.erase(busId) > 0) {
            channel->publishRoutes();
        }
        if (auto it = channel->busEQNodes.find(busId); it != channel->busEQNodes.end()) {
            auto eq = it->second;
            channel->busEQNodes.erase(it);
            if (graph) {
                graph->detach(eq);
            }
        }
    }
}

void MultiOutputEngine::setupOutputBus(const std::shared_ptr<OutputBus>& bus,
                                       const AudioOutputDevice& device) {
    auto graph = std::make_shared<AudioGraph>(env_.hardware);
    graph->outputNode().setCurrentDevice(device.id);

    auto mixer = std::make_shared<MixerNode>();
    auto eq = std::make_shared<EQNode>();
    auto delay = std::make_shared<DelayNode>();
    graph->attach(mixer);
    graph->attach(eq);
    graph->attach(delay);
    eq->setBypass(!bus->eqEnabled.get());
    configureBusEQNode(*eq, *bus);
    applyDelay(*delay, bus->delayMs.get());

    const AudioFormat format = internalFormat();
    graph->connect(mixer, *eq, format);
    graph->connect(eq, *delay, format);
    graph->connect(delay, graph->mainMixerNode(), format);

    if (bus->outputEngine && bus->outputEngine != graph) {
        bus->outputEngine->stop();
    }
    bus->outputEngine = graph;
    bus->mixerNode = mixer;
    bus->eqNode = eq;
    bus->delayNode = delay;
    mixer->setOutputVolume(busVolume(*bus));

    if (isRunning.get()) {
        if (AudioResult started = graph->start(); !started.ok()) {
            Log::line("❌ Could not start output engine: " + started.description());
        }
    }

    for (const auto& channel : inputChannels.get()) {
        if (channel->useLowLatencyPath) {
            setupChannelSourceInBus(channel, bus);
        } else {
            buildPlayerChain(channel, bus);
        }
    }
    observeBusEngineConfig(bus);
    Log::line("✅ Bus " + std::to_string(bus->id) + " → " + device.name);
}

void MultiOutputEngine::buildPlayerChain(const std::shared_ptr<InputChannel>& channel,
                                         const std::shared_ptr<OutputBus>& bus) {
    auto& graph = *bus->outputEngine;
    auto player = std::make_shared<PlayerNode>();
    auto eq = std::make_shared<EQNode>();
    graph.attach(player);
    graph.attach(eq);
    configureEQNode(*eq, *channel);
    graph.connect(player, *eq, internalFormat());
    graph.connect(eq, *bus->mixerNode, internalFormat());
    if (auto old = channel->busPlayerNodes.find(bus->id); old != channel->busPlayerNodes.end()) {
        old->second->stop();
        if (old->second->engine()) {
            old->second->engine()->detach(old->second);
        }
    }
    if (auto old = channel->busEQNodes.find(bus->id); old != channel->busEQNodes.end()) {
        if (old->second->engine()) {
            old->second->engine()->detach(old->second);
        }
    }
    channel->busPlayerNodes[bus->id] = player;
    channel->busEQNodes[bus->id] = eq;
    channel->publishRoutes();
    if (isRunning.get()) {
        player->play();
    }
}

std::shared_ptr<OutputBus> MultiOutputEngine::addOutputBus() {
    auto list = outputBusses.get();
    if (list.size() > 3) {
        return nullptr;
    }
    auto bus = std::make_shared<OutputBus>(nextBusId, "Bus " + std::to_string(nextBusId));
    ++nextBusId;
    list.push_back(bus);
    outputBusses = std::move(list);
    Log::line("➕ Added output bus: " + bus->name.get());
    return bus;
}

void MultiOutputEngine::removeOutputBus(const std::shared_ptr<OutputBus>& bus) {
    if (!bus || outputBusses.get().size() < 2) {
        return;
    }
    auto keep = bus;
    for (const auto& channel : inputChannels.get()) {
        auto assignments = channel->busAssignments.get();
        if (assignments.erase(keep->id) > 0) {
            channel->busAssignments = std::move(assignments);
        }
    }
    releaseBusChannelNodes(keep->id);
    if (auto it = busConfigObservers.find(keep->id); it != busConfigObservers.end()) {
        if (auto graph = it->second.graph.lock()) {
            graph->removeConfigurationChangeObserver(it->second.token);
        }
        busConfigObservers.erase(it);
    }
    dropBusGraph(*keep);
    auto list = outputBusses.get();
    std::erase_if(list, [&](const auto& b) { return b->id == keep->id; });
    outputBusses = std::move(list);
    Log::line("➖ Removed output bus: " + keep->name.get());
}

void MultiOutputEngine::assignDevice(const AudioOutputDevice& chosen,
                                     const std::shared_ptr<OutputBus>& bus) {
    const AudioOutputDevice device = chosen;  // callers pass elements of lists that may change
    if (isIdleSuspended.get()) {
        resumeFromIdle();
    }
    removeConfigObserver(bus->id);
    releaseBusChannelNodes(bus->id);
    dropBusGraph(*bus, /*keepEQ=*/true);
    bus->outputDevice = device;
    setupOutputBus(bus, device);
    if (isRunning.get()) {
        if (AudioResult started = bus->outputEngine->start(); !started.ok()) {
            Log::line("❌ Could not start output engine: " + started.description());
            return;
        }
        for (const auto& channel : inputChannels.get()) {
            if (auto it = channel->busPlayerNodes.find(bus->id);
                it != channel->busPlayerNodes.end()) {
                it->second->play();
            }
        }
    }
}

void MultiOutputEngine::unassignDevice(const std::shared_ptr<OutputBus>& bus) {
    removeConfigObserver(bus->id);
    releaseBusChannelNodes(bus->id);
    dropBusGraph(*bus);
    bus->outputDevice = std::nullopt;
    Log::line("🚫 Unassigned device from " + bus->name.get());
}

void MultiOutputEngine::updateBusFader(const std::shared_ptr<OutputBus>& bus) {
    if (bus->mixerNode) {
        bus->mixerNode->setOutputVolume(busVolume(*bus));
    }
}

void MultiOutputEngine::updateBusMute(const std::shared_ptr<OutputBus>& bus) {
    updateBusFader(bus);
}

void MultiOutputEngine::updateBusDelay(const std::shared_ptr<OutputBus>& bus) {
    if (bus->delayNode) {
        applyDelay(*bus->delayNode, bus->delayMs.get());
    }
}

void MultiOutputEngine::observeBusEngineConfig(const std::shared_ptr<OutputBus>& bus) {
    if (!bus->outputEngine) {
        return;
    }
    if (auto it = busConfigObservers.find(bus->id); it != busConfigObservers.end()) {
        if (auto graph = it->second.graph.lock()) {
            graph->removeConfigurationChangeObserver(it->second.token);
        }
    }
    std::weak_ptr<MultiOutputEngine> weakSelf = weak_from_this();
    MainQueue* queue = &env_.mainQueue;
    // Runs on whichever thread reports the change: only log and hop to the main queue.
    auto token = bus->outputEngine->addConfigurationChangeObserver([weakSelf, bus, queue] {
        Log::line("⚠️ Bus " + std::to_string(bus->id) + " engine config changed");
        queue->post([weakSelf, bus] {
            if (auto self = weakSelf.lock()) {
                self->debouncedBusRecovery(bus);
            }
        });
    });
    busConfigObservers[bus->id] = ConfigObserver{bus->outputEngine, token};
}

void MultiOutputEngine::removeConfigObserver(int busId) {
    if (auto it = busConfigObservers.find(busId); it != busConfigObservers.end()) {
        if (auto graph = it->second.graph.lock()) {
            graph->removeConfigurationChangeObserver(it->second.token);
        }
        busConfigObservers.erase(it);
    }
    if (auto it = busRecoveryWorkItems.find(busId); it != busRecoveryWorkItems.end()) {
        it->second.cancel();
        busRecoveryWorkItems.erase(it);
    }
}

void MultiOutputEngine::debouncedBusRecovery(const std::shared_ptr<OutputBus>& bus) {
    if (isSleeping_) {
        Log::line("💤 Ignoring Bus " + std::to_string(bus->id) + " config change during sleep");
        return;
    }
    if (auto it = busRecoveryWorkItems.find(bus->id); it != busRecoveryWorkItems.end()) {
        it->second.cancel();
    }
    std::weak_ptr<MultiOutputEngine> weakSelf = weak_from_this();
    busRecoveryWorkItems[bus->id] = env_.mainQueue.postAfter(0.15, [weakSelf, bus] {
        if (auto self = weakSelf.lock()) {
            self->env_.mainQueue.post([weakSelf, bus] {
                if (auto self = weakSelf.lock()) {
                    self->recoverBus(bus);
                }
            });
        }
    });
}

void MultiOutputEngine::recoverBus(const std::shared_ptr<OutputBus>& bus) {
    auto device = bus->outputDevice.get();
    if (!device) {
        return;
    }
    auto alive = env_.hardware.isAlive(device->id);
    if (alive && *alive && bus->outputEngine && bus->outputEngine->isRunning()) {
        Log::line("✅ Bus " + std::to_string(bus->id) + " engine still running, no recovery needed");
        return;
    }
    Log::line("🔧 Recovering Bus " + std::to_string(bus->id) + " (" + device->name + ")...");
    removeConfigObserver(bus->id);
    releaseBusChannelNodes(bus->id);
    dropBusGraph(*bus);
    for (const auto& fresh : getOutputDevices()) {
        if (fresh.uid == device->uid) {
            bus->outputDevice = fresh;
            setupOutputBus(bus, fresh);
            observeBusEngineConfig(bus);
            Log::line("✅ Bus " + std::to_string(bus->id) + " recovered → " + fresh.name);
            return;
        }
    }
    bus->outputDevice = std::nullopt;
    Log::line("⚠️ Bus " + std::to_string(bus->id) + " device lost: " + device->name);
}

}  // namespace qv
