#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qv {

struct RunningApplication {
    std::string bundleIdentifier;
    std::string applicationName;
    std::int32_t processID = 0;
};

struct CaptureDisplay {
    std::uint32_t displayID = 0;
};

// What may be captured right now.
struct ShareableContent {
    std::vector<CaptureDisplay> displays;
    std::vector<RunningApplication> applications;
};

// This program's own identifier; capture of "everything" leaves it out.
inline constexpr const char* kOwnBundleIdentifier = "org.quorvanta.Quorvanta";

// Which audio a capture stream takes: one application, or every application except some.
struct CaptureFilter {
    CaptureDisplay display;
    std::optional<std::string> includedApplication;  // bundle identifier
    std::vector<std::string> excludedApplications;   // when no application is included
};

// The stream's audio settings.
struct CaptureConfiguration {
    double sampleRate = 48000.0;
    std::uint32_t channelCount = 2;
    bool excludesCurrentProcessAudio = true;
};

// One buffer of captured audio as the service hands it over: float32 samples, either
// interleaved (frame by frame) or planar (each channel whole, one after another).
struct CaptureSampleBuffer {
    double sampleRate = 48000.0;
    std::uint32_t channelCount = 2;
    bool isInterleaved = false;
    std::int64_t frameCount = 0;
    const float* data = nullptr;
    std::size_t byteLength = 0;
};

// A running capture. Sample buffers arrive on the service's capture thread.
class CaptureStream {
  public:
    using SampleHandler = std::function<void(const CaptureSampleBuffer& buffer)>;
    using Completion = std::function<void(std::optional<std::string> error)>;

    virtual ~CaptureStream() = default;
    // Adds the audio output; false and a reason when it cannot be added.
    virtual bool addAudioOutput(SampleHandler handler, std::string* error) = 0;
    // Starts delivering; the completion runs later on the main queue (an error or nothing).
    virtual void startCapture(Completion completion) = 0;
    // Stops delivering; no buffer arrives after the completion has run. May be called from any
    // thread; the completion runs on the main queue.
    virtual void stopCapture(Completion completion) = 0;
};

// Capture of application and system audio. Main thread.
class CaptureService {
  public:
    virtual ~CaptureService() = default;

    // Delivers the shareable content, or nothing and the reason (for example a refused
    // permission), always later on the main queue, never from inside the call.
    using ContentCompletion =
        std::function<void(std::optional<ShareableContent> content, std::string error)>;
    virtual void getShareableContent(ContentCompletion completion) = 0;

    // From now on `changed` runs on the main queue, shortly after applications may have begun
    // or stopped playing (never from inside the call). A later call replaces the handler.
    virtual void watchApplications(std::function<void()> changed) = 0;

    // A stream for the filter; null and a reason when it cannot be made.
    virtual std::shared_ptr<CaptureStream> makeStream(const CaptureFilter& filter,
                                                      const CaptureConfiguration& configuration,
                                                      std::string* error) = 0;
};

}  // namespace qv
