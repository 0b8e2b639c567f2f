#include "Audio/Platform/AudioHardware.h"

namespace qv {

std::optional<std::uint32_t> fourCharCodeFromString(const std::string& text) {
    if (text.size() != 4) {
        return std::nullopt;
    }
    std::uint32_t code = 0;
    for (char c : text) {
        code = (code << 8) | static_cast<unsigned char>(c);
    }
    return code;
}

std::string fourCharCodeString(std::uint32_t code) {
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i) {
        s[static_cast<std::size_t>(i)] = static_cast<char>((code >> (24 - 8 * i)) & 0xff);
    }
    return s;
}

OSStatus AudioHardware::bindStatus(AudioObjectID device, Scope scope) const {
    auto config = streamConfiguration(device, scope);
    if (!config || config->empty()) {
        return kAudioHardwareBadObjectError;
    }
    return kAudioNoError;
}

std::string AudioHardware::describeStatus(OSStatus status) const {
    std::string text =
        "The operation couldn’t be completed. (OSStatus error " + std::to_string(status) + ".)";
    return text;
}

}  // namespace qv
