#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Audio/ChannelRouting.h"
#include "Audio/MixerState.h"
#include "Audio/Platform/AudioGraph.h"
#include "Audio/Platform/AudioHardware.h"
#include "Audio/Platform/CaptureService.h"
#include "Audio/Platform/SampleRateConverter.h"
#include "Foundation/TaskScope.h"

namespace qv {

struct EngineDiagnostics;

// The captures that feed channels, keyed by channel id: a capture graph per microphone (the
// low-latency ring-buffer path for 48 kHz stereo devices, the converting player path for every
// other), and a capture stream per application or system-audio source. Also the capture
// permission and the list of capturable applications. Main thread.
class SourceCapture {
  public:
    using Completion = std::function<void()>;

    SourceCapture(MixerState& state, AudioHardware& hardware, CaptureService& capture,
                  MainQueue& queue, ChannelRouting& routing,
                  std::shared_ptr<EngineAudioState> audio);
    // Stops every capture.
    ~SourceCapture();
    SourceCapture(const SourceCapture&) = delete;
    SourceCapture& operator=(const SourceCapture&) = delete;

    // Captures the microphone into the channel; failures are logged and shown on the channel
    // (sourceError, set on the main queue).
    void startMicrophoneCapture(const std::shared_ptr<InputChannel>& channel, DeviceID device);
    // Captures one application, or all system audio when `bundleId` is empty or not running.
    // `done` runs once the attempt has ended, however it ended.
    void startAppCapture(const std::shared_ptr<InputChannel>& channel,
                         std::optional<std::string> bundleId, Completion done = {});
    // Ends the channel's capture, whatever kind it is; the channel keeps the description of its
    // source (device and application) but its source type becomes none.
    void stopInputCapture(const std::shared_ptr<InputChannel>& channel);
    // Fills hasScreenCapturePermission and capturableApps.
    void checkScreenCapturePermission(Completion done = {});

    void describe(EngineDiagnostics& diagnostics) const;

  private:
    struct CaptureOutputHandler;
    void setSourceErrorLater(const std::shared_ptr<InputChannel>& channel,
                             std::optional<std::string> error);

    MixerState& state_;
    AudioHardware& hardware_;
    CaptureService& capture_;
    TaskScope tasks_;
    ChannelRouting& routing_;
    std::shared_ptr<EngineAudioState> audio_;
    std::map<Uuid, std::shared_ptr<AudioGraph>> inputEngines_;
    std::map<Uuid, std::shared_ptr<SampleRateConverter>> converters_;
    std::map<Uuid, std::shared_ptr<CaptureStream>> scStreams_;
    std::map<Uuid, std::shared_ptr<CaptureOutputHandler>> scOutputHandlers_;
};

}  // namespace qv
