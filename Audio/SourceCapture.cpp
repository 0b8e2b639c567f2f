// Captures that feed channels: microphones on two paths, applications and system audio, and
// the capture permission.

#include "Audio/SourceCapture.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Audio/CaptureConversion.h"
#include "Audio/EngineDiagnostics.h"
#include "Foundation/Log.h"

namespace qv {
namespace {

bool isValid(const AudioFormat& format) {
    return format.sampleRate > 0 && format.channelCount > 0;
}

}  // namespace

// Receives one channel's captured sample buffers on the capture thread and hands them on at
// 48 kHz stereo, through buffers made beforehand. The stream stops before the handler goes
// away.
struct SourceCapture::CaptureOutputHandler {
    CaptureOutputHandler(std::shared_ptr<ChannelFeed> channelFeed)
        : feed(std::move(channelFeed)),
          session(feed->beginSession()),
          left(CaptureConversion::kChunk),
          right(CaptureConversion::kChunk) {}

    std::shared_ptr<ChannelFeed> feed;
    std::uint64_t session;
    std::vector<float> left;
    std::vector<float> right;
    // Made on the first buffer that is not at 48 kHz (the stream is asked for 48 kHz, so
    // normally never), then reused while the rate stays.
    std::unique_ptr<CaptureConversion> conversion;

    // Capture thread.
    void handle(const CaptureSampleBuffer& sample) {
        if (!(sample.sampleRate > 0) || sample.channelCount == 0) {
            return;
        }
        const std::int64_t frames = sample.frameCount;
        if (frames < 1 || !sample.data || sample.byteLength == 0) {
            return;
        }
        const InputChannel& c = feed->channel();
        const bool resamples = std::fabs(sample.sampleRate - 48000.0) > 1.0;
        if (resamples && (!conversion || conversion->rate() != sample.sampleRate)) {
            std::shared_ptr<SampleRateConverter> converter =
                SampleRateConverter::create(AudioFormat::standard(sample.sampleRate, 2),
                                            AudioFormat::standard(48000.0, 2), nullptr);
            if (!converter) {
                return;
            }
            conversion = std::make_unique<CaptureConversion>(sample.sampleRate, 2, converter);
        }
        const std::uint32_t channels = sample.channelCount;
        const std::uint32_t second = channels > 1 ? 1 : 0;
        const std::size_t available = sample.byteLength / sizeof(float);
        // Planar buffers lie channel after channel, each byteLength / channels bytes long.
        const std::size_t planeLength = available / channels;
        auto at = [&](std::int64_t frame, std::uint32_t channel) -> float {
            const std::size_t index = sample.isInterleaved
                                          ? static_cast<std::size_t>(frame) * channels + channel
                                          : static_cast<std::size_t>(channel) * planeLength +
                                                static_cast<std::size_t>(frame);
            const bool inside = sample.isInterleaved
                                    ? index < available
                                    : static_cast<std::size_t>(frame) < planeLength;
            return inside ? sample.data[index] : 0.0f;
        };
        auto deliver = [this](const float* l, const float* r, std::int64_t n) {
            feed->deliver(session, l, r, n);
        };
        for (std::int64_t done = 0; done < frames;) {
            const std::int64_t n = std::min<std::int64_t>(frames - done, CaptureConversion::kChunk);
            for (std::int64_t i = 0; i < n; ++i) {
                left[static_cast<std::size_t>(i)] = at(done + i, 0);
                right[static_cast<std::size_t>(i)] = at(done + i, second);
            }
            if (resamples) {
                const float* planes[2] = {left.data(), right.data()};
                conversion->process(planes, n, deliver);
            } else {
                deliver(left.data(), right.data(), n);
            }
            if (!c.isMuted.get()) {
                feed->state().updateChannelMeterDirect(c.id, left.data(), n);
            }
            done += n;
        }
    }
};

SourceCapture::SourceCapture(MixerState& state, AudioHardware& hardware, CaptureService& capture,
                             MainQueue& queue, ChannelRouting& routing,
                             std::shared_ptr<EngineAudioState> audio)
    : state_(state),
      hardware_(hardware),
      capture_(capture),
      tasks_(queue),
      routing_(routing),
      audio_(std::move(audio)) {}

SourceCapture::~SourceCapture() {
    // Captures call into the channels' feeds: they stop before anything else goes.
    for (auto& [id, graph] : inputEngines_) {
        graph->inputNode().removeTap(0);
        graph->stop();
    }
    for (auto& [id, stream] : scStreams_) {
        stream->stopCapture([](std::optional<std::string>) {});
    }
}

void SourceCapture::setSourceErrorLater(const std::shared_ptr<InputChannel>& channel,
                                        std::optional<std::string> error) {
    std::weak_ptr<InputChannel> weakChannel = channel;
    tasks_.queue().post([weakChannel, error = std::move(error)] {
        if (auto c = weakChannel.lock()) {
            c->sourceError = error;
        }
    });
}

// MARK: - Microphones

void SourceCapture::startMicrophoneCapture(const std::shared_ptr<InputChannel>& channel,
                                           DeviceID deviceID) {
    auto graph = std::make_shared<AudioGraph>(hardware_);
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
    const std::uint32_t frames = state_.bufferSize.get();

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

    std::shared_ptr<CaptureConversion> conversion;
    if (lowLatency) {
        routing_.enterLowLatencyPath(channel);
    } else {
        const AudioFormat from = AudioFormat::standard(hardwareRate, hardwareFormat.channelCount);
        // The converter keeps the device's channels; a mono device is spread afterwards.
        const AudioFormat to = AudioFormat::standard(48000.0, hardwareFormat.channelCount);
        std::string error;
        std::shared_ptr<SampleRateConverter> converter =
            SampleRateConverter::create(from, to, &error);
        converters_[channel->id] = converter;
        Log::line("🔄 Created persistent sample rate converter: " + doubleDescription(hardwareRate) +
                  "Hz → 48000.0Hz");
        conversion = std::make_shared<CaptureConversion>(hardwareRate, hardwareFormat.channelCount,
                                                         converter);
    }

    // Capture thread. The feed stays alive with the tap; every capture stops before the
    // channels' records go away. A muted channel keeps delivering, so that its mute fades out
    // on the buses; only its meter rests.
    auto feed = routing_.feed(channel);
    input.installTap(
        0, frames, hardwareFormat,
        [feed, session = feed->beginSession(), conversion](const AudioPCMBuffer& buffer, double) {
            const AudioFormat& format = buffer.format();
            if (format.interleaved || format.channelCount == 0 ||
                (conversion && format.channelCount != conversion->channels())) {
                return;
            }
            const std::uint32_t length = buffer.frameLength();
            const float* const* planes = buffer.floatChannelData();
            if (!conversion) {
                feed->deliver(session, planes[0], format.channelCount > 1 ? planes[1] : planes[0],
                              length);
            } else {
                conversion->process(planes, length,
                                    [&](const float* l, const float* r, std::int64_t n) {
                                        feed->deliver(session, l, r, n);
                                    });
            }
            const InputChannel& c = feed->channel();
            if (!c.isMuted.get()) {
                feed->state().updateChannelMeterDirect(c.id, planes[0], length);
            }
        });
    graph->prepare();
    auto failed = [this, channel](AudioGraph& capture, const AudioResult& result) {
        Log::line("❌ Mic error: " + result.description());
        setSourceErrorLater(channel, std::string("Start failed"));
        capture.inputNode().removeTap(0);
    };
    // The handler lives in the graph, so it holds the graph only weakly.
    graph->setStartFailureHandler(tasks_.guard<AudioResult>(
        [this, failed, channel, weak = std::weak_ptr(graph)](AudioResult result) {
            // A capture that could not open after all is dropped, unless it was replaced already.
            auto it = inputEngines_.find(channel->id);
            if (auto capture = weak.lock();
                capture && it != inputEngines_.end() && it->second == capture) {
                failed(*capture, result);
                inputEngines_.erase(it);
            }
        }));
    if (AudioResult started = graph->start(); !started.ok()) {
        failed(*graph, started);
        return;
    }
    inputEngines_[channel->id] = graph;
    Log::line("✅ Mic engine started: " + doubleDescription(hardwareRate) + "Hz (" +
              (lowLatency ? "Low-Latency" : "Standard") + ")");
}

// MARK: - Applications and system audio

void SourceCapture::startAppCapture(const std::shared_ptr<InputChannel>& channel,
                                    std::optional<std::string> bundleId, Completion done) {
    auto finish = [done] {
        if (done) {
            done();
        }
    };
    if (!state_.hasScreenCapturePermission.get()) {
        Log::line("❌ No screen capture permission");
        finish();
        return;
    }
    capture_.getShareableContent(tasks_.guard<std::optional<ShareableContent>, std::string>(
        [this, channel, bundleId, finish](std::optional<ShareableContent> content,
                                          std::string error) {
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
            auto stream = capture_.makeStream(filter, configuration, &streamError);
            if (!stream) {
                Log::line("❌ Screen capture error: " + streamError);
                finish();
                return;
            }
            auto handler = std::make_shared<CaptureOutputHandler>(routing_.feed(channel));
            scOutputHandlers_[channel->id] = handler;
            if (!stream->addAudioOutput(
                    [handler](const CaptureSampleBuffer& sample) { handler->handle(sample); },
                    &streamError)) {
                Log::line("❌ Screen capture error: " + streamError);
                finish();
                return;
            }
            // Should this part be gone when the start completes, the stream is dropped with the
            // completion, which stops it.
            stream->startCapture(tasks_.guard<std::optional<std::string>>(
                [this, channel, stream, handler, finish](std::optional<std::string> startError) {
                    if (startError) {
                        Log::line("❌ Screen capture error: " + *startError);
                        finish();
                        return;
                    }
                    auto current = scOutputHandlers_.find(channel->id);
                    if (current == scOutputHandlers_.end() || current->second != handler) {
                        // The channel's source changed while this stream started: it must not play.
                        stream->stopCapture([stream](std::optional<std::string>) {});
                        finish();
                        return;
                    }
                    scStreams_[channel->id] = stream;
                    Log::line("✅ Screen capture started");
                    finish();
                }));
        }));
}

void SourceCapture::stopInputCapture(const std::shared_ptr<InputChannel>& channel) {
    // A capture whose start is still pending is dropped too, so it cannot start later.
    scOutputHandlers_.erase(channel->id);
    if (auto it = scStreams_.find(channel->id); it != scStreams_.end()) {
        auto stream = it->second;
        scStreams_.erase(it);
        stream->stopCapture([stream](std::optional<std::string>) {});
    }
    if (auto it = inputEngines_.find(channel->id); it != inputEngines_.end()) {
        it->second->inputNode().removeTap(0);
        it->second->stop();
        inputEngines_.erase(it);
    }
    routing_.sourceStopped(*channel);
    routing_.leaveLowLatencyPath(*channel);
    converters_.erase(channel->id);
    channel->sourceError = std::nullopt;
    channel->sourceType = InputSourceType::none;
    Log::line("🛑 Stopped input capture for " + channel->name.get());
}

void SourceCapture::checkScreenCapturePermission(Completion done) {
    capture_.getShareableContent(tasks_.guard<std::optional<ShareableContent>, std::string>(
        [this, done](std::optional<ShareableContent> content, std::string error) {
            if (content) {
                state_.hasScreenCapturePermission = true;
                std::vector<RunningApplication> apps;
                for (const auto& app : content->applications) {
                    if (app.applicationName.empty() || app.bundleIdentifier.empty()) {
                        continue;
                    }
                    bool seen = std::any_of(apps.begin(), apps.end(), [&](const auto& a) {
                        return a.bundleIdentifier == app.bundleIdentifier;
                    });
                    if (!seen) {
                        apps.push_back(app);
                    }
                }
                std::stable_sort(apps.begin(), apps.end(), [](const auto& a, const auto& b) {
                    return a.applicationName < b.applicationName;
                });
                const auto count = apps.size();
                state_.capturableApps = std::move(apps);
                Log::line("✅ Screen capture permission granted, " + std::to_string(count) +
                          " apps");
            } else {
                state_.hasScreenCapturePermission = false;
                Log::line("❌ No screen capture permission: " + error);
            }
            if (done) {
                done();
            }
        }));
}

void SourceCapture::describe(EngineDiagnostics& diagnostics) const {
    for (auto& channel : diagnostics.channels) {
        const Uuid& id = channel.channelId;
        channel.isCapturingMicrophone = inputEngines_.count(id) > 0;
        channel.hasConverter = converters_.count(id) > 0;
        channel.hasAppCapture = scStreams_.count(id) > 0;
        channel.isAppCaptureStarting = scOutputHandlers_.count(id) > 0 && !channel.hasAppCapture;
    }
}

}  // namespace qv
