// Microphone capture: a capture graph per channel, on the low-latency ring-buffer path or the
// standard converting player path.

#include <cmath>

#include "Audio/AudioRingBuffer.h"
#include "Audio/MultiOutputEngine.h"
#include "Audio/Platform/BufferConversion.h"
#include "Audio/Platform/SampleRateConverter.h"
#include "Foundation/Log.h"

namespace qv {
namespace {

bool isValid(const AudioFormat& format) {
    return format.sampleRate > 0 && format.channelCount > 0;
}

}  // namespace

void MultiOutputEngine::setSourceErrorLater(const std::shared_ptr<InputChannel>& channel,
                                            std::optional<std::string> error) {
    std::weak_ptr<InputChannel> weakChannel = channel;
    env_.mainQueue.post([weakChannel, error = std::move(error)] {
        if (auto c = weakChannel.lock()) {
            c->sourceError = error;
        }
    });
}

void MultiOutputEngine::startMicrophoneCapture(const std::shared_ptr<InputChannel>& channel,
                                               DeviceID deviceID) {
    auto graph = std::make_shared<AudioGraph>(env_.hardware);
    InputNode& input = graph->inputNode();
    if (!input.isAvailable()) {
        Log::line("❌ No AudioUnit on InputNode");
        setSourceErrorLater(channel, std::string("No audio unit"));
        return;
    }
    if (AudioResult bound = input.setCurrentDevice(deviceID); !bound.ok()) {
        Log::line("⚠️ Could not set input device: OSStatus " + std::to_string(bound.code()));
        setSourceErrorLater(channel, std::string("Device busy"));
        return;
    }
    AudioFormat hardwareFormat = input.inputFormat(0);
    Log::line("📊 Mic hardware format: " + doubleDescription(hardwareFormat.sampleRate) + "Hz, " +
              std::to_string(hardwareFormat.channelCount) + "ch");
    if (!isValid(hardwareFormat)) {
        graph->prepare();
        hardwareFormat = input.inputFormat(0);
    }
    if (!isValid(hardwareFormat)) {
        Log::line("❌ Could not get valid format for mic");
        setSourceErrorLater(channel, std::string("Invalid format"));
        return;
    }
    setSourceErrorLater(channel, std::nullopt);

    const double hardwareRate = hardwareFormat.sampleRate;
    const bool needsResampling =
        !(std::fabs(hardwareRate - 48000.0) <= 1.0 && hardwareFormat.channelCount == 2);
    const bool lowLatency = !needsResampling;
    const std::uint32_t frames = bufferSize.get();

    std::string line;
    for (int i = 0; i < 51; ++i) {
        line += "═";
    }
    Log::line(line);
    Log::line("📊 AUDIO PATH ANALYSIS:");
    Log::line(formatString("   Input:    %.0fHz, %uch", hardwareRate, hardwareFormat.channelCount));
    Log::line("   Internal: 48000Hz, 2ch");
    Log::line(formatString("   Buffer:   %u samples (%.1fms)", frames,
                           static_cast<double>(frames) / 48000.0 * 1000.0));
    Log::line(std::string("   Convert:  ") +
              (lowLatency ? "NO - DIRECT" : "YES - resampling needed"));
    Log::line(std::string("   Path:     ") + (lowLatency
                                                  ? "🚀 LOW-LATENCY (Ring Buffer → SourceNode)"
                                                  : "📦 Standard (Tap → PlayerNode)"));
    Log::line(line);

    std::shared_ptr<SampleRateConverter> converter;
    if (lowLatency) {
        channel->useLowLatencyPath = true;
        releasePlayerChains(*channel);
        for (const auto& bus : outputBusses.get()) {
            setupChannelSourceInBus(channel, bus);
        }
    } else {
        const AudioFormat from = AudioFormat::standard(hardwareRate, hardwareFormat.channelCount);
        // The converter keeps the device's channels; a mono device is spread afterwards.
        const AudioFormat to = AudioFormat::standard(48000.0, hardwareFormat.channelCount);
        std::string error;
        converter = SampleRateConverter::create(from, to, &error);
        channel->sampleRateConverter = converter;
        Log::line("🔄 Created persistent sample rate converter: " + doubleDescription(hardwareRate) +
                  "Hz → 48000.0Hz");
        // The players bridge the capture and render periods: one capture buffer at 48 kHz
        // plus one render period stays queued.
        const auto bridge =
            static_cast<std::uint32_t>(std::ceil(frames * 48000.0 / hardwareRate) + frames);
        for (auto& [busId, player] : channel->busPlayerNodes) {
            player->setMinimumQueuedFrames(bridge);
        }
    }

    // Capture thread. The channel stays alive with the tap; the engine stops every capture
    // before it goes away.
    MultiOutputEngine* engine = this;
    input.installTap(
        0, frames, hardwareFormat,
        [engine, channel, lowLatency, needsResampling, hardwareRate, converter](
            const AudioPCMBuffer& buffer, double) {
            InputChannel& c = *channel;
            if (c.isMuted.get() || buffer.format().interleaved) {
                return;
            }
            const std::uint32_t length = buffer.frameLength();
            if (lowLatency) {
                const float* left = buffer.floatChannelData()[0];
                const float* right =
                    buffer.format().channelCount > 1 ? buffer.floatChannelData()[1] : left;
                if (auto routes = c.routes.read()) {
                    for (const auto& [busId, ring] : routes->rings) {
                        if (routes->isAssigned(busId)) {
                            ring->write(left, right, length);
                        }
                    }
                }
                engine->updateChannelMeterDirect(c, left, length);
                return;
            }
            auto copy = copyBuffer(buffer);
            if (!copy) {
                return;
            }
            std::unique_ptr<AudioPCMBuffer> converted;
            if (needsResampling) {
                converted = convertBuffer(*copy, hardwareRate, internalFormat(), converter.get());
                if (!converted) {
                    return;
                }
            }
            engine->scheduleToAssignedBuses(converted ? *converted : *copy, c, c.linearGain());
            engine->updateChannelMeter(c, *copy);
        });
    graph->prepare();
    if (AudioResult started = graph->start(); !started.ok()) {
        Log::line("❌ Mic error: " + started.description());
        setSourceErrorLater(channel, std::string("Start failed"));
        input.removeTap(0);
        return;
    }
    inputEngines[channel->id] = graph;
    Log::line("✅ Mic engine started: " + doubleDescription(hardwareRate) + "Hz (" +
              (lowLatency ? "Low-Latency" : "Standard") + ")");
}

}  // namespace qv
