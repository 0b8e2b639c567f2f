#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Audio/Platform/CaptureService.h"
#include "Audio/Platform/Virtual/DevicesFile.h"
#include "Foundation/MainQueue.h"

namespace qv {

class VirtualAudioHardware;

// Capture over the applications of a VirtualSetup: one display (id 1), the applications with
// process ids 1000, 1001, ... in setup order, and the setup's permission answer. A stream that
// includes one application plays its signal; one that excludes applications plays the sum of
// all the others. Buffers arrive on the virtual driver's cycle (the capture thread), 128 frames
// at a time, as planar 48 kHz stereo unless told otherwise.
class VirtualCaptureService final : public CaptureService {
  public:
    VirtualCaptureService(MainQueue& queue, const VirtualSetup& setup,
                          VirtualAudioHardware& hardware);

    // Without permission: nothing, and "Screen capture permission denied".
    void getShareableContent(ContentCompletion completion) override;
    std::shared_ptr<CaptureStream> makeStream(const CaptureFilter& filter,
                                              const CaptureConfiguration& configuration,
                                              std::string* error) override;

    void setPermission(bool isGranted) { hasPermission_ = isGranted; }
    void watchApplications(std::function<void()> changed) override {
        appsChanged_ = std::move(changed);
    }
    // Tells the watcher on the main queue, as a sound server would.
    void setApplications(std::vector<VirtualAppSpec> apps);
    const std::vector<VirtualAppSpec>& applications() const { return apps_; }

    // How streams made from now on deliver their buffers.
    void setDeliversInterleaved(bool isInterleaved) { isInterleaved_ = isInterleaved; }
    void setDeliveryRate(double rate) { deliveryRate_ = rate; }
    // The next stream refuses its audio output / its start with this reason.
    void failNextAddOutput(std::string reason) { failAddOutput_ = std::move(reason); }
    void failNextStart(std::string reason) { failStart_ = std::move(reason); }

  private:
    MainQueue& queue_;
    VirtualAudioHardware& hardware_;
    std::vector<VirtualAppSpec> apps_;
    std::function<void()> appsChanged_;
    bool hasPermission_;
    bool isInterleaved_ = false;
    std::optional<double> deliveryRate_;
    std::optional<std::string> failAddOutput_;
    std::optional<std::string> failStart_;
};

}  // namespace qv
