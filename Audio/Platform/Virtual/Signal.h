#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <variant>

#include "Audio/Platform/Virtual/WavFile.h"

namespace qv {

// What a virtual input device or application plays. A signal runs on the program's clock from
// time 0: the sample at device frame k depends only on k and the device rate, so a stream
// opened later hears it from then on.
struct Signal {
    struct Silence {};
    // The same sine on every channel; `level` is the peak in dBFS.
    struct Sine {
        double frequency = 440.0;
        double level = 0.0;
    };
    // Deterministic white noise, different on every channel; `level` is the RMS in dBFS.
    struct Noise {
        double level = -20.0;
        std::uint64_t seed = 0;
    };
    // A file played once from time 0, then silence. A mono file feeds every channel; otherwise
    // channel c plays file channel c modulo the file's channel count.
    struct File {
        std::shared_ptr<const WavData> wav;
    };

    std::variant<Silence, Sine, Noise, File> source;

    static Signal silence() { return {}; }
    static Signal sine(double frequency, double level) { return {Sine{frequency, level}}; }
    static Signal noise(double level, std::uint64_t seed) { return {Noise{level, seed}}; }
    static Signal file(WavData wav) {
        return {File{std::make_shared<const WavData>(std::move(wav))}};
    }

    // Writes frames [startFrame, startFrame + frames) of `channel` at `sampleRate` to `out`.
    // Does not allocate (safe on I/O threads).
    void render(int channel, std::int64_t startFrame, int frames, double sampleRate,
                float* out) const;
};

}  // namespace qv
