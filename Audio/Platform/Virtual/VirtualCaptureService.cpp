#include "Audio/Platform/Virtual/VirtualCaptureService.h"

#include <utility>

namespace qv {

namespace {

constexpr std::uint32_t kDisplayID = 1;
constexpr std::int32_t kFirstProcessID = 1000;

}  // namespace

VirtualCaptureService::VirtualCaptureService(MainQueue& queue, const VirtualSetup& setup)
    : queue_(queue), apps_(setup.apps), hasPermission_(setup.screenCapturePermission) {}

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

}  // namespace qv
