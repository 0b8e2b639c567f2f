// Channel chains in the bus graphs, and how a channel's audio reaches them with gain, pan,
// mute, solo and bus assignments applied.

#include <cmath>

#include "Audio/AudioRingBuffer.h"
#include "Audio/MultiOutputEngine.h"
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

}  // namespace

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

void MultiOutputEngine::releasePlayerChains(InputChannel& channel) {
    for (auto& [busId, player] : channel.busPlayerNodes) {
        player->stop();
        if (auto* graph = player->engine()) {
            graph->detach(player);
        }
    }
    channel.busPlayerNodes.clear();
    channel.publishRoutes();
    for (auto& [busId, eq] : channel.busEQNodes) {
        if (auto* graph = eq->engine()) {
            graph->detach(eq);
        }
    }
    channel.busEQNodes.clear();
}

void MultiOutputEngine::teardownChannelAudio(const std::shared_ptr<InputChannel>& channel) {
    releasePlayerChains(*channel);
    for (auto& [busId, source] : channel->busSourceNodes) {
        if (auto* graph = source->engine()) {
            graph->detach(source);
        }
    }
    channel->busSourceNodes.clear();
    channel->busRingBuffers.clear();
    channel->publishRoutes();
    channel->useLowLatencyPath = false;
}

void MultiOutputEngine::setupChannelSourceInBus(const std::shared_ptr<InputChannel>& channel,
                                                const std::shared_ptr<OutputBus>& bus) {
    if (!bus->outputEngine || !bus->mixerNode) {
        return;
    }
    auto& ring = channel->busRingBuffers[bus->id];
    if (!ring) {
        ring = std::make_shared<AudioRingBuffer>();
    }
    // The render block keeps what it reads alive; it never frees, allocates or logs.
    auto source =
        std::make_shared<SourceNode>([channel, state = audioState_, ring, busId = bus->id](
                                         float* const* out, int channels, int frames) {
            // Render thread. The node hands over silence; every guard leaves it so.
            const InputChannel& c = *channel;
            if (c.isMuted.get()) {
                return;
            }
            {
                auto routes = c.routes.read();
                if (!routes || !routes->isAssigned(busId)) {
                    return;
                }
            }
            if (state->hasSoloActive.load() && !c.isSolo.get()) {
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
            if (auto level = measureLevel(out[0], frames)) {
                MeterMessage message;
                message.kind = MeterMessage::Kind::busLevel;
                message.busId = busId;
                message.level = *level;
                state->post(message);
            }
        });
    auto& graph = *bus->outputEngine;
    graph.attach(source);
    auto eq = std::make_shared<EQNode>();
    graph.attach(eq);
    configureEQNode(*eq, *channel);
    graph.connect(source, *eq, internalFormat());
    graph.connect(eq, *bus->mixerNode, internalFormat());
    channel->busSourceNodes[bus->id] = source;
    channel->busEQNodes[bus->id] = eq;
    channel->publishRoutes();
    Log::line("🚀 Low-latency source node created for " + channel->name.get() + " → Bus " +
              std::to_string(bus->id));
}

void MultiOutputEngine::scheduleToAssignedBuses(const AudioPCMBuffer& buffer, InputChannel& channel,
                                                float gain) {
    // Capture thread: reads the channel's settings and routes without locks. A muted channel
    // is silent on every bus (its capture also stops feeding it).
    if (channel.isMuted.get()) {
        return;
    }
    if (audioState_->hasSoloActive.load() && !channel.isSolo.get()) {
        return;
    }
    const auto pan = panGains(channel);
    auto routes = channel.routes.read();
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
        const AudioPCMBuffer& scheduled = *copy;
        updateBusMeterFromBuffer(route.busId, scheduled);
        player.scheduleBuffer(std::move(copy));
    }
}

}  // namespace qv
