#include "Audio/Platform/MixerNode.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "Audio/Platform/AudioFormat.h"

namespace qv {

std::uint64_t MixerNode::pack(float volume, std::uint32_t jumps) {
    return static_cast<std::uint64_t>(jumps) << 32 | std::bit_cast<std::uint32_t>(volume);
}

float MixerNode::volumeOf(std::uint64_t packed) {
    return std::bit_cast<float>(static_cast<std::uint32_t>(packed));
}

namespace {

// Frames [from, from + frames) of the inputs (none: silence) times `volume`.
void scale(const float* const* inputs, float* const* outputs, int from, int frames, float volume) {
    for (int c = 0; c < 2; ++c) {
        float* out = outputs[c] + from;
        if (!inputs || volume == 0.0f) {
            std::fill_n(out, frames, 0.0f);
            continue;
        }
        const float* in = inputs[c] + from;
        for (int i = 0; i < frames; ++i) {
            out[i] = in[i] * volume;
        }
    }
}

}  // namespace

MixerNode::MixerNode()
    : target_(pack(1.0f, 0)),
      rampFrames_(static_cast<int>(std::lround(kRampSeconds * internalFormat().sampleRate))) {}

void MixerNode::setOutputVolume(float volume, bool ramp) {
    if (!ramp) {
        jumpLevel_.store(volume, std::memory_order_relaxed);
    }
    std::uint64_t current = target_.load(std::memory_order_relaxed);
    std::uint64_t next;
    do {
        const auto jumps = static_cast<std::uint32_t>(current >> 32) + (ramp ? 0u : 1u);
        next = pack(volume, jumps);
        // Release: a render that sees the new count sees the jump's level.
    } while (!target_.compare_exchange_weak(current, next, std::memory_order_release,
                                            std::memory_order_relaxed));
}

float MixerNode::outputVolume() const {
    return volumeOf(target_.load(std::memory_order_relaxed));
}

// Render thread.
void MixerNode::render(const float* const* inputs, float* const* outputs, int frames) {
    const std::uint64_t packed = target_.load(std::memory_order_acquire);
    const float target = volumeOf(packed);
    const auto jumps = static_cast<std::uint32_t>(packed >> 32);
    if (rampLeft_ == 0 && target == rampTo_ && jumps == jumpsSeen_ && rendered_) {
        scale(inputs, outputs, 0, frames, applied_);  // steady
        return;
    }
    if (jumps != jumpsSeen_ || !rendered_) {
        // A jump lands at its level (a later change ramps on from there); a first render with
        // no jump starts at the target.
        applied_ = rampTo_ =
            jumps != jumpsSeen_ ? jumpLevel_.load(std::memory_order_relaxed) : target;
        rampLeft_ = 0;
        rendered_ = true;
        jumpsSeen_ = jumps;
    }
    if (target != rampTo_ && !(std::isnan(target) && std::isnan(rampTo_))) {
        rampFrom_ = applied_;
        rampTo_ = target;
        rampLeft_ = rampFrames_;
    }

    // The ramp's part of this block, then the steady part. The ramp's last frame is the target
    // itself, so the level after a ramp is exact.
    const int ramped = std::min(frames, rampLeft_);
    if (ramped > 0) {
        const int done = rampFrames_ - rampLeft_;
        const float from = rampFrom_;
        const float span = rampTo_ - rampFrom_;
        const float perFrame = 1.0f / static_cast<float>(rampFrames_);
        const int interpolated = std::min(ramped, rampFrames_ - 1 - done);
        for (int c = 0; c < 2; ++c) {
            float* out = outputs[c];
            if (!inputs) {
                std::fill_n(out, ramped, 0.0f);
                continue;
            }
            const float* in = inputs[c];
            for (int i = 0; i < interpolated; ++i) {
                out[i] = in[i] * (from + span * (static_cast<float>(done + i + 1) * perFrame));
            }
            if (interpolated < ramped) {
                out[interpolated] = in[interpolated] * rampTo_;
            }
        }
        rampLeft_ -= ramped;
        applied_ =
            rampLeft_ == 0 ? rampTo_ : from + span * (static_cast<float>(done + ramped) * perFrame);
    }
    const int rest = frames - ramped;
    if (rest > 0) {
        scale(inputs, outputs, ramped, rest, applied_);
    }
}

}  // namespace qv
