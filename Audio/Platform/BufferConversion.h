#pragma once

#include <cstdint>
#include <memory>

#include "Audio/Platform/AudioFormat.h"
#include "Audio/Platform/AudioPCMBuffer.h"
#include "Audio/Platform/SampleRateConverter.h"

namespace qv {

// Buffer helpers for the capture threads. Only non-interleaved buffers are handled; these
// allocate, so keep them off the render thread.

// Deep copy with the same format, capacity and frame length. Null for an interleaved source.
std::unique_ptr<AudioPCMBuffer> copyBuffer(const AudioPCMBuffer& source);

// Output capacity for `frames` frames at `sourceRate` Hz resampled to 48 kHz:
// floor(48000 / sourceRate × frames) + 32 frames of slack. 0 for a rate that is not a positive
// finite Hz value.
std::uint32_t convertedCapacity(double sourceRate, std::uint32_t frames);

// Brings a captured buffer at `sourceRate` Hz to 48 kHz and, for mono into stereo, to the
// target's two channels. A rate within 1 Hz of 48 kHz counts as 48 kHz and is copied, not
// resampled. Any other channel combination keeps the source's channels: a 6-channel source
// comes back as 48 kHz, 6 channels even for a stereo target.
//
// `converter` carries the stream between calls and must be made for sourceRate → 48 kHz with
// the source's channel count; while it fills its filter the result can have fewer frames than
// the source, down to 0. Without one, a converter is made for this call and ended with the
// buffer, so all of it comes out. Null for 0 frames, interleaved buffers, no channels, an
// unusable rate or a failed conversion (including a converter that does not fit the source).
std::unique_ptr<AudioPCMBuffer> convertBuffer(const AudioPCMBuffer& source, double sourceRate,
                                              const AudioFormat& target,
                                              SampleRateConverter* converter);

}  // namespace qv
