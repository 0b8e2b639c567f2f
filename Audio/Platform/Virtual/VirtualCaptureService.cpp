#include "Audio/Platform/Virtual/VirtualCaptureService.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "Audio/Platform/Virtual/VirtualAudioHardware.h"

namespace qv {
namespace {

constexpr std::uint32_t kDisplayID = 1;
constexpr std::int32_t kFirstProcessID = 1000;
constexpr int kFramesPerBuffer = 128;

// A stream of the summed signals of some applications.
class VirtualCaptureStream final : public CaptureStream {
  public:
    VirtualCaptureStream(MainQueue& queue, VirtualAudioHardware& hardware,
                         std::vector<Signal> signals, double rate, std::uint32_t channels,
                         bool isInterleaved, std::optional<std::string> failAddOutput,
                         std::optional<std::string> failStart)
        : queue_(queue),
          hardware_(hardware),
          signals_(std::move(signals)),
          rate_(rate),
          channels_(channels),
          isInterleaved_(isInterleaved),
          failAddOutput_(std::move(failAddOutput)),
          failStart_(std::move(failStart)) {}
    // The device layer stops calling in before the buffers its callbacks use go away.
    ~VirtualCaptureStream() override { stream_.reset(); }

    bool addAudioOutput(SampleHandler handler, std::string* error) override {
        if (failAddOutput_) {
            if (error) {
                *error = *failAddOutput_;
            }
            return false;
        }
        handler_ = std::move(handler);
        return true;
    }

    void startCapture(Completion completion) override {
        if (failStart_) {
            queue_.post([completion, reason = *failStart_] { completion(reason); });
            return;
        }
        interleaved_.assign(static_cast<std::size_t>(kFramesPerBuffer) * channels_, 0.0f);
        scratch_.assign(static_cast<std::size_t>(kFramesPerBuffer), 0.0f);
        // Capture thread (the driver's cycle): the sum of the applications' signals.
        auto source = [this](int channel, std::int64_t start, int frames, double rate, float* out) {
            std::fill_n(out, frames, 0.0f);
            for (const auto& signal : signals_) {
                signal.render(channel, start, frames, rate, scratch_.data());
                for (int i = 0; i < frames; ++i) {
                    out[i] += scratch_[static_cast<std::size_t>(i)];
                }
            }
        };
        auto deliver = [this](const float* const* planes, int channels, int frames, double rate) {
            CaptureSampleBuffer buffer;
            buffer.sampleRate = rate;
            buffer.channelCount = static_cast<std::uint32_t>(channels);
            buffer.isInterleaved = isInterleaved_;
            buffer.frameCount = frames;
            buffer.byteLength = static_cast<std::size_t>(channels) * frames * sizeof(float);
            if (isInterleaved_) {
                for (int f = 0; f < frames; ++f) {
                    for (int c = 0; c < channels; ++c) {
                        interleaved_[static_cast<std::size_t>(f * channels + c)] = planes[c][f];
                    }
                }
                buffer.data = interleaved_.data();
            } else {
                // The planes of a virtual stream lie one after another.
                buffer.data = planes[0];
            }
            if (handler_) {
                handler_(buffer);
            }
        };
        stream_ = hardware_.openSignalStream(rate_, static_cast<int>(channels_), kFramesPerBuffer,
                                             source, deliver);
        std::optional<std::string> error;
        if (!stream_ || !stream_->start().ok()) {
            stream_.reset();
            error = "The capture stream could not be started";
        }
        queue_.post([completion, error] { completion(error); });
    }

    void stopCapture(Completion completion) override {
        if (stream_) {
            stream_->stop();
        }
        queue_.post([completion] { completion(std::nullopt); });
    }

  private:
    MainQueue& queue_;
    VirtualAudioHardware& hardware_;
    std::vector<Signal> signals_;
    double rate_;
    std::uint32_t channels_;
    bool isInterleaved_;
    std::optional<std::string> failAddOutput_;
    std::optional<std::string> failStart_;
    SampleHandler handler_;
    std::unique_ptr<AudioStream> stream_;
    std::vector<float> interleaved_;
    std::vector<float> scratch_;
};

}  // namespace

VirtualCaptureService::VirtualCaptureService(MainQueue& queue, const VirtualSetup& setup,
                                             VirtualAudioHardware& hardware)
    : queue_(queue),
      hardware_(hardware),
      apps_(setup.apps),
      hasPermission_(setup.screenCapturePermission) {}

void VirtualCaptureService::setApplications(std::vector<VirtualAppSpec> apps) {
    apps_ = std::move(apps);
    if (appsChanged_) {
        queue_.post([changed = appsChanged_] { changed(); });
    }
}

void VirtualCaptureService::getShareableContent(ContentCompletion completion) {
    if (!hasPermission_) {
        queue_.post([completion = std::move(completion)] {
            completion(std::nullopt, "Screen capture permission denied");
        });
        return;
    }
    ShareableContent content;
    content.displays.push_back({kDisplayID});
    for (std::size_t i = 0; i < apps_.size(); ++i) {
        content.applications.push_back(
            {apps_[i].bundleId, apps_[i].name, kFirstProcessID + static_cast<std::int32_t>(i)});
    }
    queue_.post([completion = std::move(completion), content = std::move(content)] {
        completion(content, "");
    });
}

std::shared_ptr<CaptureStream> VirtualCaptureService::makeStream(
    const CaptureFilter& filter, const CaptureConfiguration& configuration, std::string* error) {
    if (!hasPermission_) {
        if (error) {
            *error = "Screen capture permission denied";
        }
        return nullptr;
    }
    std::vector<Signal> signals;
    for (const auto& app : apps_) {
        const bool taken =
            filter.includedApplication
                ? app.bundleId == *filter.includedApplication
                : std::find(filter.excludedApplications.begin(), filter.excludedApplications.end(),
                            app.bundleId) == filter.excludedApplications.end();
        if (taken) {
            signals.push_back(app.signal);
        }
    }
    auto stream = std::make_shared<VirtualCaptureStream>(
        queue_, hardware_, std::move(signals), deliveryRate_.value_or(configuration.sampleRate),
        configuration.channelCount, isInterleaved_, std::exchange(failAddOutput_, std::nullopt),
        std::exchange(failStart_, std::nullopt));
    return stream;
}

}  // namespace qv
