#include "Audio/Platform/SampleRateConverter.h"

#include <soxr.h>

#include <cmath>
#include <cstddef>
#include <sstream>

namespace qv {

namespace {

void setError(std::string* error, std::string reason) {
    if (error) {
        *error = std::move(reason);
    }
}

bool validRate(double hz) {
    return std::isfinite(hz) && hz > 0.0;
}

}  // namespace

void SampleRateConverter::Deleter::operator()(soxr* s) const {
    soxr_delete(s);
}

std::unique_ptr<SampleRateConverter> SampleRateConverter::create(const AudioFormat& from,
                                                                 const AudioFormat& to,
                                                                 std::string* error) {
    if (!validRate(from.sampleRate) || !validRate(to.sampleRate)) {
        std::ostringstream reason;
        reason << "sample rates must be positive and finite (got " << from.sampleRate << " Hz to "
               << to.sampleRate << " Hz)";
        setError(error, reason.str());
        return nullptr;
    }
    if (from.channelCount == 0 || to.channelCount == 0) {
        setError(error, "formats need at least one channel");
        return nullptr;
    }
    if (from.channelCount != to.channelCount) {
        setError(error, "channel counts differ (" + std::to_string(from.channelCount) + " to " +
                            std::to_string(to.channelCount) + ")");
        return nullptr;
    }
    if (from.interleaved || to.interleaved) {
        setError(error, "only non-interleaved formats are converted");
        return nullptr;
    }

    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    runtime.log2_min_dft_size = 8;
    runtime.log2_large_dft_size = 8;
    soxr_error_t failure = nullptr;
    soxr_t resampler = soxr_create(from.sampleRate, to.sampleRate, from.channelCount, &failure, &io,
                                   &quality, &runtime);
    if (!resampler || failure) {
        soxr_delete(resampler);
        setError(error, std::string("libsoxr: ") + soxr_strerror(failure));
        return nullptr;
    }
    return std::unique_ptr<SampleRateConverter>(new SampleRateConverter(from, to, resampler));
}

SampleRateConverter::SampleRateConverter(const AudioFormat& from, const AudioFormat& to,
                                         soxr* resampler)
    : from_(from),
      to_(to),
      soxr_(resampler),
      inputPlanes_(from.channelCount),
      outputPlanes_(to.channelCount) {}

SampleRateConverter::~SampleRateConverter() = default;

bool SampleRateConverter::checkBuffers(const AudioPCMBuffer& input, const AudioPCMBuffer& output,
                                       std::string* error) const {
    const auto fits = [this](const AudioFormat& f) {
        return !f.interleaved && f.channelCount == from_.channelCount;
    };
    if (!fits(input.format()) || !fits(output.format())) {
        setError(error, "buffers must be non-interleaved with " +
                            std::to_string(from_.channelCount) + " channel(s)");
        return false;
    }
    return true;
}

bool SampleRateConverter::convert(const AudioPCMBuffer& input, AudioPCMBuffer& output,
                                  std::string* error) {
    if (!checkBuffers(input, output, error)) {
        return false;
    }
    for (std::size_t c = 0; c < inputPlanes_.size(); ++c) {
        inputPlanes_[c] = input.floatChannelData()[c];
        outputPlanes_[c] = output.floatChannelData()[c];
    }
    // No idone pointer: libsoxr then takes every input frame, keeping what it cannot output yet.
    // The input pointer is never null even for 0 frames, as null would end the stream.
    std::size_t written = 0;
    const soxr_error_t failure =
        soxr_process(soxr_.get(), inputPlanes_.data(), input.frameLength(), nullptr,
                     outputPlanes_.data(), output.frameCapacity(), &written);
    output.setFrameLength(static_cast<std::uint32_t>(written));
    if (failure) {
        setError(error, std::string("libsoxr: ") + failure);
        return false;
    }
    return true;
}

long SampleRateConverter::convert(const float* const* input, std::size_t frames,
                                  float* const* output, std::size_t capacity) {
    for (std::size_t c = 0; c < inputPlanes_.size(); ++c) {
        inputPlanes_[c] = input[c];
        outputPlanes_[c] = output[c];
    }
    std::size_t written = 0;
    if (soxr_process(soxr_.get(), inputPlanes_.data(), frames, nullptr, outputPlanes_.data(),
                     capacity, &written)) {
        return -1;
    }
    return static_cast<long>(written);
}

bool SampleRateConverter::finish(const AudioPCMBuffer& input, AudioPCMBuffer& output,
                                 std::string* error) {
    if (!convert(input, output, error)) {
        return false;
    }
    std::size_t total = output.frameLength();
    while (total < output.frameCapacity()) {
        for (std::size_t c = 0; c < outputPlanes_.size(); ++c) {
            outputPlanes_[c] = output.floatChannelData()[c] + total;
        }
        std::size_t written = 0;
        const soxr_error_t failure =
            soxr_process(soxr_.get(), nullptr, 0, nullptr, outputPlanes_.data(),
                         output.frameCapacity() - total, &written);
        if (failure) {
            output.setFrameLength(static_cast<std::uint32_t>(total));
            setError(error, std::string("libsoxr: ") + failure);
            return false;
        }
        if (written == 0) {
            break;
        }
        total += written;
    }
    output.setFrameLength(static_cast<std::uint32_t>(total));
    return true;
}

double SampleRateConverter::delayFrames() const {
    return soxr_delay(soxr_.get());
}

void SampleRateConverter::reset() {
    soxr_clear(soxr_.get());
}

}  // namespace qv
