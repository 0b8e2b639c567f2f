#include "Audio/Platform/PlayerNode.h"

#include <algorithm>

namespace qv {

PlayerNode::~PlayerNode() {
    // The graph no longer renders this node: every buffer can be freed here.
    delete current_.buffer;
    while (auto e = incoming_.pop()) {
        delete e->buffer;
    }
    while (auto b = played_.pop()) {
        delete *b;
    }
}

void PlayerNode::freePlayed() {
    while (auto b = played_.pop()) {
        delete *b;
        outstanding_.fetch_sub(1, std::memory_order_relaxed);
    }
}

bool PlayerNode::scheduleBuffer(std::unique_ptr<AudioPCMBuffer> buffer) {
    freePlayed();
    if (!buffer || outstanding_.load(std::memory_order_relaxed) >= kQueueCapacity) {
        return false;
    }
    Entry entry{buffer.get(), generation_.load(std::memory_order_acquire)};
    const std::uint32_t frames = buffer->frameLength();
    queuedFrames_.fetch_add(frames, std::memory_order_acq_rel);
    if (!incoming_.push(entry)) {
        queuedFrames_.fetch_sub(frames, std::memory_order_acq_rel);
        return false;
    }
    buffer.release();
    outstanding_.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void PlayerNode::stop() {
    playing_.store(false, std::memory_order_release);
    // Everything scheduled before this point is dropped by the render thread.
    generation_.fetch_add(1, std::memory_order_acq_rel);
}

void PlayerNode::render(const float* const*, float* const* outputs, int frames) {
    const auto generation = generation_.load(std::memory_order_acquire);
    auto retire = [this](AudioPCMBuffer* b, std::uint32_t unplayed) {
        queuedFrames_.fetch_sub(unplayed, std::memory_order_acq_rel);
        // The played queue holds twice the schedulable count, so this never fails.
        played_.push(b);
    };
    if (current_.buffer && current_.generation != generation) {
        const std::uint32_t length = current_.buffer->frameLength();
        retire(current_.buffer, length > position_ ? length - position_ : 0);
        current_ = {};
        isPrimed_ = false;
    }
    while (const Entry* next = incoming_.peek()) {
        if (next->generation == generation) {
            break;
        }
        retire(next->buffer, next->buffer->frameLength());
        incoming_.pop();
        isPrimed_ = false;
    }

    // Drops `count` frames from the oldest queued audio.
    auto skip = [&](std::uint64_t count) {
        while (count > 0) {
            if (!current_.buffer) {
                auto next = incoming_.pop();
                if (!next) {
                    return;
                }
                current_ = *next;
                position_ = 0;
            }
            const std::uint32_t length = current_.buffer->frameLength();
            const std::uint32_t available = length > position_ ? length - position_ : 0;
            const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(available, count));
            position_ += n;
            count -= n;
            queuedFrames_.fetch_sub(n, std::memory_order_acq_rel);
            trimmedFrames_.fetch_add(n, std::memory_order_relaxed);
            if (position_ >= length) {
                retire(current_.buffer, 0);
                current_ = {};
            }
        }
    };

    int written = 0;
    const std::uint32_t minimum = minimumQueued_.load(std::memory_order_relaxed);
    const std::uint32_t margin = margin_.load(std::memory_order_relaxed);
    if (isPlaying() && !isPrimed_ && queuedFrames() >= minimum + (minimum > 0 ? margin : 0)) {
        isPrimed_ = true;
    }
    if (isPlaying() && isPrimed_ && minimum > 0) {
        // Render thread: the queue's low point over the window tells how much of it is spare.
        lowestQueued_ = std::min(lowestQueued_, queuedFrames());
        windowPlayed_ += static_cast<std::uint32_t>(frames);
        if (windowPlayed_ >= kTrimWindow) {
            const std::uint64_t keep = std::uint64_t{minimum} + margin + kTrimSlack;
            if (lowestQueued_ != UINT64_MAX && lowestQueued_ > keep) {
                skip(lowestQueued_ - keep);
            }
            lowestQueued_ = UINT64_MAX;
            windowPlayed_ = 0;
        }
    }
    if (isPlaying() && isPrimed_) {
        while (written < frames) {
            if (!current_.buffer) {
                auto next = incoming_.pop();
                if (!next) {
                    // Ran dry: wait for enough audio again before resuming, with more margin.
                    isPrimed_ = false;
                    if (minimum > 0 && margin < kLargestMargin) {
                        const std::uint32_t grown = margin == 0 ? kMarginStep : 2 * margin;
                        margin_.store(std::min(grown, kLargestMargin), std::memory_order_relaxed);
                    }
                    break;
                }
                current_ = *next;
                position_ = 0;
            }
            AudioPCMBuffer& buffer = *current_.buffer;
            const std::uint32_t available =
                buffer.frameLength() > position_ ? buffer.frameLength() - position_ : 0;
            const int n = static_cast<int>(
                std::min<std::uint32_t>(available, static_cast<std::uint32_t>(frames - written)));
            if (n > 0) {
                const auto& format = buffer.format();
                const float* const* planes = buffer.floatChannelData();
                const std::uint32_t channels = std::max<std::uint32_t>(format.channelCount, 1);
                for (int c = 0; c < 2; ++c) {
                    const std::uint32_t src =
                        std::min<std::uint32_t>(static_cast<std::uint32_t>(c), channels - 1);
                    float* out = outputs[c] + written;
                    if (format.interleaved) {
                        const float* in =
                            planes[0] + static_cast<std::size_t>(position_) * channels;
                        for (int i = 0; i < n; ++i) {
                            out[i] = in[static_cast<std::size_t>(i) * channels + src];
                        }
                    } else {
                        std::copy_n(planes[src] + position_, n, out);
                    }
                }
                position_ += static_cast<std::uint32_t>(n);
                written += n;
                queuedFrames_.fetch_sub(static_cast<std::uint32_t>(n), std::memory_order_acq_rel);
            }
            if (position_ >= buffer.frameLength()) {
                retire(current_.buffer, 0);
                current_ = {};
            }
        }
    }
    for (int c = 0; c < 2; ++c) {
        std::fill(outputs[c] + written, outputs[c] + frames, 0.0f);
    }
}

}  // namespace qv
