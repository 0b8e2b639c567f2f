#include "Audio/Platform/BufferConversion.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace qv {

namespace {

constexpr std::uint32_t kCapacitySlack = 32;  // frames

bool validRate(double hz) {
    return std::isfinite(hz) && hz > 0.0;
}

void copyPlane(const float* from, float* to, std::uint32_t frames) {
    std::copy_n(from, frames, to);
}

// A `format` buffer with the mono plane of `mono` in both of its first two channels.
std::unique_ptr<AudioPCMBuffer> duplicateMono(const AudioPCMBuffer& mono,
                                              const AudioFormat& format) {
    auto out = std::make_unique<AudioPCMBuffer>(format, mono.frameCapacity());
    copyPlane(mono.floatChannelData()[0], out->floatChannelData()[0], mono.frameLength());
    copyPlane(mono.floatChannelData()[0], out->floatChannelData()[1], mono.frameLength());
    out->setFrameLength(mono.frameLength());
    return out;
}

}  // namespace

std::unique_ptr<AudioPCMBuffer> copyBuffer(const AudioPCMBuffer& source) {
    if (source.format().interleaved) {
        return nullptr;
    }
    auto out = std::make_unique<AudioPCMBuffer>(source.format(), source.frameCapacity());
    for (std::uint32_t p = 0; p < source.planeCount(); ++p) {
        copyPlane(source.floatChannelData()[p], out->floatChannelData()[p], source.frameLength());
    }
    out->setFrameLength(source.frameLength());
    return out;
}

std::uint32_t convertedCapacity(double sourceRate, std::uint32_t frames) {
    if (!validRate(sourceRate)) {
        return 0;
    }
    // 48000 × frames is exact in a double, so whole-number results (441 frames at 44.1 kHz →
    // 480) stay exact through the one rounding of the division.
    const double converted = std::floor(kInternalSampleRate * frames / sourceRate);
    constexpr double kMax = std::numeric_limits<std::uint32_t>::max() - kCapacitySlack;
    return static_cast<std::uint32_t>(std::min(converted, kMax)) + kCapacitySlack;
}

std::unique_ptr<AudioPCMBuffer> convertBuffer(const AudioPCMBuffer& source, double sourceRate,
                                              const AudioFormat& target,
                                              SampleRateConverter* converter) {
    const std::uint32_t frames = source.frameLength();
    const std::uint32_t srcChannels = source.format().channelCount;
    const std::uint32_t dstChannels = target.channelCount;
    if (frames == 0 || srcChannels == 0 || dstChannels == 0 || source.format().interleaved ||
        target.interleaved || !validRate(sourceRate)) {
        return nullptr;
    }
    const bool monoToStereo = srcChannels == 1 && dstChannels == 2;

    if (std::fabs(sourceRate - kInternalSampleRate) < 1.0) {
        if (srcChannels == dstChannels) {
            auto out = std::make_unique<AudioPCMBuffer>(target, source.frameCapacity());
            for (std::uint32_t c = 0; c < srcChannels; ++c) {
                copyPlane(source.floatChannelData()[c], out->floatChannelData()[c], frames);
            }
            out->setFrameLength(frames);
            return out;
        }
        if (monoToStereo) {
            return duplicateMono(source, target);
        }
    }

    const AudioFormat inFormat = AudioFormat::standard(sourceRate, srcChannels);
    const AudioFormat outFormat = AudioFormat::standard(kInternalSampleRate, srcChannels);
    auto converted =
        std::make_unique<AudioPCMBuffer>(outFormat, convertedCapacity(sourceRate, frames));
    if (converter) {
        if (!converter->convert(source, *converted, nullptr)) {
            return nullptr;
        }
    } else {
        // Nothing follows this buffer, so end the stream and take the frames the filter holds.
        auto once = SampleRateConverter::create(inFormat, outFormat, nullptr);
        if (!once || !once->finish(source, *converted, nullptr)) {
            return nullptr;
        }
    }
    if (monoToStereo) {
        return duplicateMono(*converted, target);
    }
    return converted;
}

}  // namespace qv
