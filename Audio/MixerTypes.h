#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Audio/Platform/DeviceTypes.h"
#include "Foundation/Uuid.h"

namespace qv {

// One output-capable device as scanned. Identity is the device id alone.
struct AudioOutputDevice {
    DeviceID id = 0;
    std::string uid;
    std::string name;
    int channelCount = 0;
    std::string transportType;
    double sampleRate = 0;

    bool operator==(const AudioOutputDevice& o) const { return id == o.id; }
};

// One input-capable device as scanned. Identity is the UID; equality compares every field.
struct AudioInputDevice {
    std::string id;  // UID
    std::string name;
    DeviceID deviceID = 0;
    int channelCount = 0;
    std::string transportType;
    double sampleRate = 0;

    bool operator==(const AudioInputDevice&) const = default;
};

// Equaliser layout; the text value is the label and the stored form.
enum class EQType { bands2, bands3, bands11 };
std::string eqTypeText(EQType type);
// Exact text match only ("3-Band"); any other text gives no value.
std::optional<EQType> eqTypeFromText(const std::string& text);
inline constexpr EQType kAllEQTypes[] = {EQType::bands2, EQType::bands3, EQType::bands11};

enum class InputSourceType { none, microphone, systemAudio, appAudio };
// The stored form of a source type ("microphone"); any other text reads as none.
std::string sourceTypeText(InputSourceType type);
InputSourceType sourceTypeFromText(const std::string& text);

// Engine-wide power mode.
enum class PowerMode : int { alwaysOn = 0, eco = 1, ecoSleep = 2 };
std::optional<PowerMode> powerModeFromInt(int value);
std::optional<PowerMode> powerModeFromName(const std::string& name);
std::string powerModeName(PowerMode mode);  // the case name, e.g. "alwaysOn"
std::string powerModeHelpText(PowerMode mode);

// One channel's source, carried across a full rebuild of the engines.
struct ChannelSourceInfo {
    Uuid channelId;
    InputSourceType sourceType = InputSourceType::none;
    std::optional<std::string> deviceUID;
    std::optional<std::string> appBundleId;
};

}  // namespace qv

template <>
struct std::hash<qv::AudioOutputDevice> {
    std::size_t operator()(const qv::AudioOutputDevice& d) const noexcept {
        return std::hash<std::uint32_t>{}(d.id);
    }
};

template <>
struct std::hash<qv::AudioInputDevice> {
    std::size_t operator()(const qv::AudioInputDevice& d) const noexcept {
        return std::hash<std::string>{}(d.id);
    }
};
