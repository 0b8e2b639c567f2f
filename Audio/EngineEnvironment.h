#pragma once

#include <string>

#include "Audio/Platform/AudioHardware.h"
#include "Audio/Platform/CaptureService.h"
#include "Foundation/MainQueue.h"
#include "Foundation/SettingsStore.h"

namespace qv {

// What the engine talks to: the main queue, stored settings, the device layer and the
// capture service.
struct EngineEnvironment {
    MainQueue& mainQueue;
    SettingsStore& settings;
    AudioHardware& hardware;
    CaptureService& capture;
};

// The error `start()` reports.
struct EngineError {
    std::string domain;
    int code = 0;
    std::string localizedDescription;
};

}  // namespace qv
