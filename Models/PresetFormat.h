#pragma once

// The preset file: one JSON document holding the whole mixer layout, and the one encoder and
// decoder that every reader and writer of presets goes through.
//
// Output layout (fixed; files are compared byte for byte):
//   - two spaces of indentation per level, one member or element per line;
//   - members written as "key" : value (one space either side of the colon), objects' keys in
//     ascending byte order at every level;
//   - empty arrays and objects written as [] and {} on the member's line;
//   - strings in UTF-8, with " \ and / escaped (\" \\ \/), \b \f \n \r \t for those controls and
//     \u00xx (lower-case hex) for the other characters below U+0020; nothing else is escaped;
//   - Float values as the shortest decimal that reads back to the same 32-bit float when taken as
//     a double and rounded to float, as readers do: whole values without a fraction ("-6", "0",
//     "0.1", "1e-07", "3.4028235e+38"); negative zero as "0"; the one value whose shortest text
//     would round twice to its neighbour, 7.038531e-26 (and its negative), as "7.0385307e-26";
//   - Int values as plain integers; dates as "2025-03-01T18:04:05Z";
//   - no newline after the closing brace.
// For example:
//   {
//     "createdAt" : "2025-03-01T18:04:05Z",
//     "id" : "0F8E9A4C-2B1D-4E5F-9A3B-7C6D5E4F3A2B",
//     "inputChannels" : [],
//     "name" : "Studio A\/B",
//     "outputBuses" : [
//       {
//         "delayMs" : 0,
//         "eqEnabled" : false,
//         ...
//       }
//     ]
//   }
//
// Reading is all-or-nothing: every required key must be present with a value of the right JSON
// type, or the whole document is rejected with a message that names the key path. Optional keys
// that are missing or null give no value; unknown keys are ignored. Int fields take only JSON
// integers (1.5 and 1e3 are rejected); Float fields take any JSON number that fits a 32-bit float.
// No range limits apply, and eqType / sourceType texts outside the known lists are kept as text.

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Foundation/Uuid.h"

namespace qv {

// Creation moments are held to the second, which is all the file keeps.
using PresetTime = std::chrono::sys_seconds;

// The equaliser fields a channel and a bus store alike.
struct EQPreset {
    std::string eqType = "3-Band";  // "2-Band", "3-Band" or "11-Band"
    float eqLowGain = 0;
    float eqMidGain = 0;
    float eqHighGain = 0;
    std::optional<std::vector<float>> eqBands;
    bool eqEnabled = false;

    bool operator==(const EQPreset&) const = default;
};

struct InputChannelPreset : EQPreset {
    Uuid id;
    std::string name;
    float inputGain = 0;
    float faderLevel = 0;
    std::optional<bool> panEnabled;
    float pan = 0;
    bool isMuted = false;
    bool isSolo = false;
    std::set<std::int64_t> busAssignments;  // output bus ids
    std::string sourceType = "none";        // "none", "microphone", "systemAudio", "appAudio"
    std::optional<std::string> sourceDeviceUID;
    std::optional<std::string> sourceAppBundleId;
    std::optional<bool> gainEnabled;
    std::optional<bool> faderEnabled;

    bool operator==(const InputChannelPreset&) const = default;
};

struct OutputBusPreset : EQPreset {
    std::int64_t id = 0;
    std::string name;
    float faderLevel = 0;  // dB
    bool isMuted = false;
    float delayMs = 0;
    std::optional<std::string> outputDeviceUID;

    bool operator==(const OutputBusPreset&) const = default;
};

struct MixerPreset {
    Uuid id;
    std::string name;
    PresetTime createdAt{};
    std::vector<InputChannelPreset> inputChannels;
    std::vector<OutputBusPreset> outputBuses;

    bool operator==(const MixerPreset&) const = default;
};

struct EncodeResult {
    std::optional<std::string> text;
    std::string error;  // why nothing was written, when text is empty
};

struct DecodeResult {
    std::optional<MixerPreset> preset;
    std::string error;  // "key.path[0]: reason", when preset is empty
};

// Fails only for a NaN or infinite Float, a string that is not valid UTF-8, or a createdAt
// outside the years 0000 to 9999.
EncodeResult encodePreset(const MixerPreset& preset);
DecodeResult decodePreset(std::string_view text);

// "YYYY-MM-DDTHH:MM:SSZ" in UTC; no value for a moment outside the years 0000 to 9999.
std::optional<std::string> formatPresetDate(PresetTime time);
// Exactly the form above: upper-case T and Z, no fractional seconds, no offset, a real calendar
// date, hours 00-23, minutes and seconds 00-59.
std::optional<PresetTime> parsePresetDate(std::string_view text);

}  // namespace qv
