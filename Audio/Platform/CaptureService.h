#pragma once

#include <cstdint>
#include <functional>
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

// Capture of application and system audio. Main thread.
class CaptureService {
  public:
    virtual ~CaptureService() = default;

    // Delivers the shareable content, or nothing and the reason (for example a refused
    // permission), always later on the main queue, never from inside the call.
    using ContentCompletion =
        std::function<void(std::optional<ShareableContent> content, std::string error)>;
    virtual void getShareableContent(ContentCompletion completion) = 0;

    // Capture streams (one application, or everything except this program) go here.
};

}  // namespace qv
