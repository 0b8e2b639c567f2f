#include "Audio/Platform/AudioHardware.h"

#include <chrono>
#include <ostream>

namespace qv {

std::string describe(AudioError error) {
    switch (error) {
        case AudioError::deviceNotFound:
            return "the device is not available";
        case AudioError::wrongDirection:
            return "the device has no channels in that direction";
        case AudioError::unsupportedRate:
            return "the device does not support that sample rate";
        case AudioError::serverUnreachable:
            return "the sound server is not reachable";
        case AudioError::streamRefused:
            return "the sound server refused the stream";
        case AudioError::deviceBusy:
            return "the device is busy";
        case AudioError::streamNotStarted:
            return "the sound server accepted the stream but never started it; is a session "
                   "manager such as wireplumber running?";
    }
    return "the device layer failed";
}

std::string AudioResult::description() const {
    return error_ ? describe(*error_) : "no error";
}

std::ostream& operator<<(std::ostream& out, const AudioResult& result) {
    return out << (result.ok() ? "success" : result.description());
}

double AudioHardware::audioClockNow() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

AudioResult AudioHardware::bindResult(DeviceID device, Direction direction) const {
    auto config = streamConfiguration(device, direction);
    if (!config) {
        return AudioError::deviceNotFound;
    }
    if (config->empty()) {
        return AudioError::wrongDirection;
    }
    return {};
}

}  // namespace qv
