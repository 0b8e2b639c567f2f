#include "Audio/Platform/DelayNode.h"

#include <algorithm>
#include <cmath>

#include "Audio/Platform/AudioFormat.h"

namespace qv {
namespace {

// The engine runs every graph at the internal format's rate (48 kHz).
double sampleRate() {
    return internalFormat().sampleRate;
}

// A percentage as a fraction within [low, high]; nonsense reads as 0.
float fraction(float percent, float low, float high) {
    return std::isnan(percent) ? 0.0f : std::clamp(percent / 100.0f, low, high);
}

}  // namespace

DelayNode::DelayNode()
    : maxDelayFrames_(static_cast<int>(std::lround(kMaxDelaySeconds * sampleRate()))),
      lineFrames_(maxDelayFrames_ + kMaxRenderFrames),
      line_(std::make_unique<float[]>(2 * static_cast<std::size_t>(lineFrames_))) {}

int DelayNode::delayFrames() const {
    const auto frames = static_cast<int>(std::lround(delayTime() * sampleRate()));
    return std::clamp(frames, 0, maxDelayFrames_);
}

// Render thread. Appends the input (or silence) to the line unchanged.
void DelayNode::write(const float* const* inputs, int frames) {
    for (int done = 0; done < frames;) {
        const int n = std::min(frames - done, lineFrames_ - writePosition_);
        for (int c = 0; c < 2; ++c) {
            float* line = line_.get() + c * lineFrames_ + writePosition_;
            if (inputs) {
                std::copy_n(inputs[c] + done, n, line);
            } else {
                std::fill_n(line, n, 0.0f);
            }
        }
        done += n;
        writePosition_ = (writePosition_ + n) % lineFrames_;
    }
}

// Render thread.
void DelayNode::render(const float* const* inputs, float* const* outputs, int frames) {
    const int delay = delayFrames();
    if (bypass() || delay == 0) {
        // The line keeps listening, so turning the delay on plays recent input, not old audio.
        for (int c = 0; c < 2; ++c) {
            if (inputs) {
                std::copy_n(inputs[c], frames, outputs[c]);
            } else {
                std::fill_n(outputs[c], frames, 0.0f);
            }
        }
        write(inputs, frames);
        return;
    }
    const float feedbackGain = fraction(feedback(), -1.0f, 1.0f);
    const float wet = fraction(wetDryMix(), 0.0f, 1.0f);
    const float dry = 1.0f - wet;

    const float* const* source = inputs;
    if (!source) {
        for (int c = 0; c < 2; ++c) {
            std::fill_n(outputs[c], frames, 0.0f);
        }
        source = outputs;
    }
    // The delay is at most the line's length less one block, so the read position is always
    // a frame written `delay` frames ago, whatever the delay was in earlier blocks.
    int read = writePosition_ - delay;
    if (read < 0) {
        read += lineFrames_;
    }
    int write = writePosition_;
    for (int done = 0; done < frames;) {
        const int n = std::min({frames - done, lineFrames_ - write, lineFrames_ - read});
        for (int c = 0; c < 2; ++c) {
            float* line = line_.get() + c * lineFrames_;
            const float* in = source[c] + done;
            float* out = outputs[c] + done;
            for (int i = 0; i < n; ++i) {
                const float x = in[i];
                const float delayed = line[read + i];
                line[write + i] = x + feedbackGain * delayed;
                out[i] = x * dry + delayed * wet;
            }
        }
        done += n;
        read = (read + n) % lineFrames_;
        write = (write + n) % lineFrames_;
    }
    writePosition_ = write;
}

}  // namespace qv
