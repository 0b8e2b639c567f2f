#include "Audio/CaptureConversion.h"

#include <algorithm>
#include <cmath>

#include "Audio/Platform/BufferConversion.h"

namespace qv {

CaptureConversion::CaptureConversion(double rate, std::uint32_t channels,
                                     std::shared_ptr<SampleRateConverter> converter)
    : rate_(rate),
      channels_(std::max<std::uint32_t>(channels, 1)),
      converter_(std::move(converter)),
      resamples_(converter_ && std::fabs(rate - 48000.0) > 1.0),
      inputs_(channels_) {
    if (resamples_) {
        capacity_ = convertedCapacity(rate, kChunk);
        storage_.assign(static_cast<std::size_t>(capacity_) * channels_, 0.0f);
        for (std::uint32_t c = 0; c < channels_; ++c) {
            outputs_.push_back(storage_.data() + static_cast<std::size_t>(c) * capacity_);
        }
    }
}

void CaptureConversion::processInto(const float* const* planes, std::int64_t frames, void* context,
                                    Sink sink) {
    for (std::int64_t done = 0; done < frames;) {
        const std::int64_t n = std::min<std::int64_t>(frames - done, kChunk);
        for (std::uint32_t c = 0; c < channels_; ++c) {
            inputs_[c] = planes[c] + done;
        }
        if (!resamples_) {
            sink(context, inputs_[0], inputs_[channels_ > 1 ? 1 : 0], n);
        } else {
            const long out = converter_->convert(inputs_.data(), static_cast<std::size_t>(n),
                                                 outputs_.data(), capacity_);
            if (out > 0) {
                sink(context, outputs_[0], outputs_[channels_ > 1 ? 1 : 0], out);
            }
        }
        done += n;
    }
}

}  // namespace qv
