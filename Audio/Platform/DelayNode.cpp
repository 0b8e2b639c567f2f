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
      line_(std::make_unique<float[]>(2 * static_cast<std::size_t>(lineFrames_))),
      fadeFrames_(static_cast<int>(std::lround(kFadeSeconds * sampleRate()))) {}

void DelayNode::Ramp::retarget(float target, int frames) {
    if (target == to) {
        return;
    }
    from = value;
    to = target;
    left = frames;
}

float DelayNode::Ramp::next(int frames) {
    if (left == 0) {
        return value;
    }
    --left;
    value = left == 0 ? to
                      : from + (to - from) *
                                   (static_cast<float>(frames - left) / static_cast<float>(frames));
    return value;
}

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

// Render thread. The input (or silence) goes out unchanged and into the line, so turning the
// delay on plays recent input, not old audio.
void DelayNode::passThrough(const float* const* source, float* const* outputs, int frames) {
    for (int c = 0; c < 2; ++c) {
        if (source[c] != outputs[c]) {
            std::copy_n(source[c], frames, outputs[c]);
        }
    }
    write(source, frames);
}

// Render thread. Nothing in flight: the tap, mix and feedback hold still.
void DelayNode::renderSteady(const float* const* source, float* const* outputs, int frames) {
    const float feedbackGain = feedbackGain_.value;
    const float wet = wet_.value;
    const float dry = 1.0f - wet;
    // The delay is at most the line's length less one block, so the read position is always
    // a frame written `tap_` frames ago, whatever the delay was in earlier blocks.
    int read = writePosition_ - tap_;
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

// Render thread. Some ramp runs: every frame takes its own tap blend, effect, mix and
// feedback. Each ramp in flight lasts at least `frames` more frames.
void DelayNode::renderFading(const float* const* source, float* const* outputs, int frames) {
    const auto back = [this](int from, int frames) {
        return from >= frames ? from - frames : from - frames + lineFrames_;
    };
    float* left = line_.get();
    float* right = left + lineFrames_;
    int write = writePosition_;
    int read = back(write, tap_);
    int readNext = back(write, nextTap_);
    const bool crossfading = tapFade_.left > 0;
    for (int i = 0; i < frames; ++i) {
        const float effect = effect_.next(fadeFrames_);
        const float mix = effect * wet_.next(fadeFrames_);
        const float loop = effect * feedbackGain_.next(fadeFrames_);
        float delayedLeft = left[read];
        float delayedRight = right[read];
        if (crossfading) {
            const float blend = tapFade_.next(fadeFrames_);
            if (tapFade_.left == 0) {
                delayedLeft = left[readNext];
                delayedRight = right[readNext];
            } else {
                delayedLeft += blend * (left[readNext] - delayedLeft);
                delayedRight += blend * (right[readNext] - delayedRight);
            }
            readNext = readNext + 1 == lineFrames_ ? 0 : readNext + 1;
        }
        const float xLeft = source[0][i];
        const float xRight = source[1][i];
        left[write] = xLeft + loop * delayedLeft;
        right[write] = xRight + loop * delayedRight;
        outputs[0][i] = xLeft + mix * (delayedLeft - xLeft);
        outputs[1][i] = xRight + mix * (delayedRight - xRight);
        read = read + 1 == lineFrames_ ? 0 : read + 1;
        write = write + 1 == lineFrames_ ? 0 : write + 1;
    }
    writePosition_ = write;
    if (crossfading && tapFade_.left == 0) {
        tap_ = nextTap_;
    }
}

// Render thread.
void DelayNode::render(const float* const* inputs, float* const* outputs, int frames) {
    const int delay = delayFrames();
    const float effect = bypass() || delay == 0 ? 0.0f : 1.0f;
    const float feedbackGain = fraction(feedback(), -1.0f, 1.0f);
    const float wet = fraction(wetDryMix(), 0.0f, 1.0f);
    if (!rendered_) {
        rendered_ = true;
        effect_.jump(effect);
        wet_.jump(wet);
        feedbackGain_.jump(feedbackGain);
        tap_ = delay;
    } else {
        effect_.retarget(effect, fadeFrames_);
        wet_.retarget(wet, fadeFrames_);
        feedbackGain_.retarget(feedbackGain, fadeFrames_);
    }

    const float* const* source = inputs;
    if (!source) {
        for (int c = 0; c < 2; ++c) {
            std::fill_n(outputs[c], frames, 0.0f);
        }
        source = outputs;
    }
    if (tapFade_.left == 0 && effect_.left == 0 && wet_.left == 0 && feedbackGain_.left == 0 &&
        (delay == tap_ || delay == 0 || effect_.value == 0.0f)) {
        // Nothing moves in this block.
        if (effect_.value == 0.0f) {
            if (delay != 0) {
                tap_ = delay;
            }
            passThrough(source, outputs, frames);
        } else {
            renderSteady(source, outputs, frames);
        }
        return;
    }
    for (int done = 0; done < frames;) {
        if (tapFade_.left == 0 && delay > 0 && delay != tap_) {
            if (effect_.value == 0.0f) {
                tap_ = delay;  // nothing of the old tap is heard
            } else {
                nextTap_ = delay;
                tapFade_.jump(0.0f);
                tapFade_.retarget(1.0f, fadeFrames_);
            }
        }
        if (effect_.left == 0 && effect_.value == 0.0f) {
            // Off: what the ramps would do is not heard, so they land at once.
            wet_.jump(wet_.to);
            feedbackGain_.jump(feedbackGain_.to);
            if (tapFade_.left > 0) {
                tapFade_.jump(1.0f);
                tap_ = nextTap_;
            }
        }
        // Up to the end of the block or of the first ramp to end, whichever comes first.
        int n = frames - done;
        for (const Ramp* ramp : {&tapFade_, &effect_, &wet_, &feedbackGain_}) {
            if (ramp->left > 0) {
                n = std::min(n, ramp->left);
            }
        }
        const float* in[2] = {source[0] + done, source[1] + done};
        float* out[2] = {outputs[0] + done, outputs[1] + done};
        const bool still =
            tapFade_.left == 0 && effect_.left == 0 && wet_.left == 0 && feedbackGain_.left == 0;
        if (still && effect_.value == 0.0f) {
            passThrough(in, out, n);
        } else if (still && effect_.value == 1.0f) {
            renderSteady(in, out, n);
        } else {
            renderFading(in, out, n);
        }
        done += n;
    }
}

}  // namespace qv
