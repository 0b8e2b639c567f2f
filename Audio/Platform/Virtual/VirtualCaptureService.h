#pragma once

#include <utility>
#include <vector>

#include "Audio/Platform/CaptureService.h"
#include "Audio/Platform/Virtual/DevicesFile.h"
#include "Foundation/MainQueue.h"

namespace qv {

// Capture over the applications of a VirtualSetup: one display (id 1), the applications with
// process ids 1000, 1001, ... in setup order, and the setup's permission answer.
class VirtualCaptureService final : public CaptureService {
  public:
    VirtualCaptureService(MainQueue& queue, const VirtualSetup& setup);

    // Without permission: nothing, and "Screen capture permission denied".
    void getShareableContent(ContentCompletion completion) override;

    void setPermission(bool isGranted) { hasPermission_ = isGranted; }
    void setApplications(std::vector<VirtualAppSpec> apps) { apps_ = std::move(apps); }
    const std::vector<VirtualAppSpec>& applications() const { return apps_; }

  private:
    MainQueue& queue_;
    std::vector<VirtualAppSpec> apps_;
    bool hasPermission_;
};

}  // namespace qv
