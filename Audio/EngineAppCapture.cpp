// Application and system audio: capture streams and their sample handler.

#include <cmath>
#include <cstring>

#include "Audio/MultiOutputEngine.h"
#include "Audio/Platform/BufferConversion.h"
#include "Audio/Platform/SampleRateConverter.h"
#include "Foundation/Log.h"

namespace qv {

// Receives one channel's captured sample buffers on the capture thread. The engine stops the
// stream before the handler or the engine goes away.
struct CaptureOutputHandler {
    std::shared_ptr<InputChannel> channel;
    MultiOutputEngine* engine = nullptr;
    double sampleRate = 48000.0;
    // Made on the first buffer that is not at 48 kHz, then reused.
    std::unique_ptr<SampleRateConverter> converter;

    // Capture thread.
    void handle(const CaptureSampleBuffer& sample) {
        InputChannel& c = *channel;
        if (c.isMuted.get()) {
            return;
        }
        if (!(sample.sampleRate > 0) || sample.channelCount == 0) {
            return;
        }
        const std::int64_t frames = sample.frameCount;
        if (frames < 1 || !sample.data || sample.byteLength == 0) {
            return;
        }
        const std::uint32_t channels = sample.channelCount;
        const auto length = static_cast<std::uint32_t>(frames);
        AudioPCMBuffer buffer(AudioFormat::standard(sample.sampleRate, channels), length);
        buffer.setFrameLength(length);
        if (sample.isInterleaved) {
            const std::size_t available = sample.byteLength / sizeof(float);
            for (std::uint32_t f = 0; f < length; ++f) {
                for (std::uint32_t ch = 0; ch < channels; ++ch) {
                    const std::size_t index = static_cast<std::size_t>(f) * channels + ch;
                    buffer.floatChannelData()[ch][f] = index < available ? sample.data[index] : 0;
                }
            }
        } else {
            // The channels lie one after another, each byteLength / channels bytes long.
            const std::size_t perChannel = sample.byteLength / channels;
            const std::size_t bytes =
                std::min<std::size_t>(perChannel, static_cast<std::size_t>(length) * sizeof(float));
            for (std::uint32_t ch = 0; ch < channels; ++ch) {
                std::memcpy(buffer.floatChannelData()[ch],
                            reinterpret_cast<const char*>(sample.data) + ch * perChannel, bytes);
            }
        }
        const AudioFormat target = internalFormat();
        if (!converter && std::fabs(sample.sampleRate - sampleRate) >= 1.0) {
            converter = SampleRateConverter::create(
                AudioFormat::standard(sample.sampleRate, channels),
                AudioFormat::standard(target.sampleRate, channels), nullptr);
        }
        auto converted = convertBuffer(buffer, sample.sampleRate, target, converter.get());
        if (!converted) {
            return;
        }
        engine->scheduleToAssignedBuses(*converted, c, c.linearGain());
        engine->updateChannelMeter(c, buffer);
    }
};

void MultiOutputEngine::startAppCapture(const std::shared_ptr<InputChannel>& channel,
                                        std::optional<std::string> bundleId, Completion done) {
    auto finish = [done] {
        if (done) {
            done();
        }
    };
    if (!hasScreenCapturePermission.get()) {
        Log::line("❌ No screen capture permission");
        finish();
        return;
    }
    std::weak_ptr<MultiOutputEngine> weakSelf = weak_from_this();
    env_.capture.getShareableContent(
        [weakSelf, channel, bundleId, finish](std::optional<ShareableContent> content,
                                              std::string error) {
            auto self = weakSelf.lock();
            if (!self) {
                return;
            }
            if (!content) {
                Log::line("❌ Screen capture error: " + error);
                finish();
                return;
            }
            if (content->displays.empty()) {
                Log::line("❌ No display found");
                finish();
                return;
            }
            CaptureConfiguration configuration;
            CaptureFilter filter;
            filter.display = content->displays.front();
            const RunningApplication* app = nullptr;
            if (bundleId) {
                for (const auto& candidate : content->applications) {
                    if (candidate.bundleIdentifier == *bundleId) {
                        app = &candidate;
                        break;
                    }
                }
            }
            if (app) {
                filter.includedApplication = app->bundleIdentifier;
                Log::line("🔊 Capturing app: " + app->applicationName);
            } else {
                filter.excludedApplications = {kOwnBundleIdentifier};
                Log::line("🔊 Capturing system audio");
            }
            std::string streamError;
            auto stream = self->env_.capture.makeStream(filter, configuration, &streamError);
            if (!stream) {
                Log::line("❌ Screen capture error: " + streamError);
                finish();
                return;
            }
            auto handler = std::make_shared<CaptureOutputHandler>();
            handler->channel = channel;
            handler->engine = self.get();
            self->scOutputHandlers[channel->id] = handler;
            if (!stream->addAudioOutput(
                    [handler](const CaptureSampleBuffer& sample) { handler->handle(sample); },
                    &streamError)) {
                Log::line("❌ Screen capture error: " + streamError);
                finish();
                return;
            }
            // Application buffers come at 48 kHz, 128 frames at a time or more: keep one of them
            // and one render period queued on the players.
            for (auto& [busId, player] : channel->busPlayerNodes) {
                player->setMinimumQueuedFrames(2 * self->bufferSize.get());
            }
            stream->startCapture([weakSelf, channel, stream, handler,
                                  finish](std::optional<std::string> startError) {
                auto self = weakSelf.lock();
                if (!self) {
                    stream->stopCapture([](std::optional<std::string>) {});
                    return;
                }
                if (startError) {
                    Log::line("❌ Screen capture error: " + *startError);
                    finish();
                    return;
                }
                auto current = self->scOutputHandlers.find(channel->id);
                if (current == self->scOutputHandlers.end() || current->second != handler) {
                    // The channel's source changed while this stream started: it must not play.
                    stream->stopCapture([stream](std::optional<std::string>) {});
                    finish();
                    return;
                }
                self->scStreams[channel->id] = stream;
                Log::line("✅ Screen capture started");
                finish();
            });
        });
}

}  // namespace qv
