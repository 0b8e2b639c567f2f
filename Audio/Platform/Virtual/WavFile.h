#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace qv {

// Audio read from or written to a WAV file: one plane of samples per channel, all planes the
// same length.
struct WavData {
    double sampleRate = 0;
    std::vector<std::vector<float>> channels;

    std::size_t frameCount() const { return channels.empty() ? 0 : channels.front().size(); }
};

// Reads a PCM WAV file with 16, 24 or 32-bit integer or 32-bit float samples (plain or
// WAVE_FORMAT_EXTENSIBLE). On failure returns nothing and sets `error` to "<path>: <reason>".
std::optional<WavData> readWav(const std::string& path, std::string* error);

// Writes a 32-bit float WAV file. The audio goes to a temporary file in the same folder that
// then replaces `path`, so `path` is never half-written. On failure sets `error`.
bool writeWavFloat32(const std::string& path, double sampleRate,
                     const std::vector<std::vector<float>>& channels, std::string* error);

}  // namespace qv
