#include "Audio/Platform/Virtual/Signal.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace qv {
namespace {

std::uint64_t splitmix64(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

double gainFromDecibels(double level) {
    return std::pow(10.0, level / 20.0);
}

void renderSine(const Signal::Sine& sine, std::int64_t startFrame, int frames, double rate,
                float* out) {
    const double amplitude = gainFromDecibels(sine.level);
    for (int i = 0; i < frames; ++i) {
        // Whole cycles are dropped before the sine so the phase stays exact far from time 0.
        const double k = static_cast<double>(startFrame + i);
        const double cycles = std::fmod(sine.frequency * k, rate) / rate;
        out[i] = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * cycles));
    }
}

void renderNoise(const Signal::Noise& noise, int channel, std::int64_t startFrame, int frames,
                 float* out) {
    // Uniform in [-1, 1) has an RMS of 1/sqrt(3).
    const double amplitude = gainFromDecibels(noise.level) * std::numbers::sqrt3;
    const std::uint64_t key =
        splitmix64(noise.seed ^ splitmix64(static_cast<std::uint64_t>(channel)));
    for (int i = 0; i < frames; ++i) {
        const std::uint64_t bits = splitmix64(key + static_cast<std::uint64_t>(startFrame + i));
        const double uniform = static_cast<double>(bits >> 40) / 16777216.0;  // 24 bits
        out[i] = static_cast<float>(amplitude * (2.0 * uniform - 1.0));
    }
}

void renderFile(const WavData& wav, int channel, std::int64_t startFrame, int frames, double rate,
                float* out) {
    if (wav.channels.empty()) {
        std::fill_n(out, frames, 0.0f);
        return;
    }
    const auto& samples = wav.channels[static_cast<std::size_t>(channel) % wav.channels.size()];
    const auto count = static_cast<std::int64_t>(samples.size());
    const auto at = [&](std::int64_t i) {
        return i >= 0 && i < count ? samples[static_cast<std::size_t>(i)] : 0.0f;
    };
    if (wav.sampleRate == rate) {
        for (int i = 0; i < frames; ++i) {
            out[i] = at(startFrame + i);
        }
        return;
    }
    // Other rates: index the file by time, interpolating linearly between its samples.
    const double step = wav.sampleRate / rate;
    for (int i = 0; i < frames; ++i) {
        const double position = static_cast<double>(startFrame + i) * step;
        const double whole = std::floor(position);
        const auto index = static_cast<std::int64_t>(whole);
        const auto fraction = static_cast<float>(position - whole);
        out[i] = index >= count ? 0.0f : at(index) + fraction * (at(index + 1) - at(index));
    }
}

}  // namespace

void Signal::render(int channel, std::int64_t startFrame, int frames, double sampleRate,
                    float* out) const {
    if (const auto* sine = std::get_if<Sine>(&source)) {
        renderSine(*sine, startFrame, frames, sampleRate, out);
    } else if (const auto* noise = std::get_if<Noise>(&source)) {
        renderNoise(*noise, channel, startFrame, frames, out);
    } else if (const auto* file = std::get_if<File>(&source); file && file->wav) {
        renderFile(*file->wav, channel, startFrame, frames, sampleRate, out);
    } else {
        std::fill_n(out, frames, 0.0f);
    }
}

}  // namespace qv
