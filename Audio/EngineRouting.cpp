// Channel chains in the bus graphs.

#include "Audio/MultiOutputEngine.h"
#include "Foundation/Log.h"

namespace qv {

void MultiOutputEngine::setupChannelAudio(const std::shared_ptr<InputChannel>& channel) {
    for (const auto& bus : outputBusses.get()) {
        if (!bus->outputEngine || !bus->mixerNode) {
            continue;
        }
        buildPlayerChain(channel, bus);
    }
    Log::line("✅ Audio chain setup for " + channel->name.get() + " (" +
              std::to_string(channel->busPlayerNodes.size()) + " buses)");
}

void MultiOutputEngine::teardownChannelAudio(const std::shared_ptr<InputChannel>& channel) {
    for (auto& [busId, player] : channel->busPlayerNodes) {
        player->stop();
        if (auto* graph = player->engine()) {
            graph->detach(player);
        }
    }
    channel->busPlayerNodes.clear();
    for (auto& [busId, source] : channel->busSourceNodes) {
        if (auto* graph = source->engine()) {
            graph->detach(source);
        }
    }
    channel->busSourceNodes.clear();
    for (auto& [busId, eq] : channel->busEQNodes) {
        if (auto* graph = eq->engine()) {
            graph->detach(eq);
        }
    }
    channel->busEQNodes.clear();
    channel->busRingBuffers.clear();
    channel->useLowLatencyPath = false;
}

}  // namespace qv
