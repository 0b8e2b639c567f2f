#pragma once

#include <cmath>
#include <cstdint>

namespace qv {

// A PCM format: sample rate in Hz, channel count, and whether samples are interleaved.
// Samples are always 32-bit float. The standard format is non-interleaved.
struct AudioFormat {
    double sampleRate = 48000.0;
    std::uint32_t channelCount = 2;
    bool interleaved = false;

    static AudioFormat standard(double rate, std::uint32_t channels) {
        return AudioFormat{rate, channels, false};
    }
    bool operator==(const AudioFormat& o) const {
        return std::fabs(sampleRate - o.sampleRate) < 1e-9 && channelCount == o.channelCount &&
               interleaved == o.interleaved;
    }
};

// The rate every graph, equaliser and delay works at, Hz.
inline constexpr double kInternalSampleRate = 48000.0;

// Every bus connection uses this format: 48 kHz, stereo, non-interleaved float32.
inline AudioFormat internalFormat() {
    return AudioFormat::standard(kInternalSampleRate, 2);
}

}  // namespace qv
