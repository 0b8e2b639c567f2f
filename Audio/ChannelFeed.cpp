#include "Audio/ChannelFeed.h"

#include <algorithm>
#include <cmath>

#include "Audio/Platform/AudioHardware.h"

namespace qv {

bool ChannelRoutes::isAssigned(int busId) const {
    return std::find(assignedBuses.begin(), assignedBuses.end(), busId) != assignedBuses.end();
}

ChannelGains channelGains(const InputChannel& channel) {
    const float g = channel.linearGain();
    const float pan = channel.pan.get();
    if (channel.panEnabled.get() && std::fabs(pan) > 0.001f) {
        constexpr float kPi = 3.1415926f;
        const float angle = (pan + 1.0f) * kPi / 4.0f;
        return {std::cos(angle) * g, std::sin(angle) * g};
    }
    const float level = std::fabs(g - 1.0f) <= 0.001f ? 1.0f : g;
    return {level, level};
}

double ChannelFeed::now() const {
    return clock_.audioClockNow();
}

double ChannelFeed::jitter() const {
    return clock_.schedulingJitter();
}

void ChannelFeed::deliver(std::uint64_t session, const float* left, const float* right,
                          std::int64_t count) const {
    if (count <= 0 || session != session_.load(std::memory_order_acquire)) {
        return;
    }
    if (isDelivering_.exchange(true, std::memory_order_acquire)) {
        return;  // an earlier capture of the channel is still on its way out
    }
    const double time = now();
    if (auto routes = routes_.read()) {
        for (const auto& [busId, ring] : routes->rings) {
            ring->write(left, right, count, time);
        }
    }
    isDelivering_.store(false, std::memory_order_release);
}

ChannelBusInput::ChannelBusInput(std::shared_ptr<ChannelFeed> feed, int busId)
    : feed_(std::move(feed)),
      busId_(busId),
      ring_(std::make_shared<AudioRingBuffer>()),
      bridge_(
          ring_, 48000.0,
          ClockBridge::kFirstMargin + static_cast<int>(std::lround(feed_->jitter() * 48000.0))) {}

ChannelBusInput::Gains ChannelBusInput::target() const {
    const InputChannel& c = feed_->channel();
    if (c.isMuted.get()) {
        return {};
    }
    if (feed_->state().hasSoloActive.load(std::memory_order_relaxed) && !c.isSolo.get()) {
        return {};
    }
    {
        auto routes = feed_->routes().read();
        if (!routes || !routes->isAssigned(busId_)) {
            return {};
        }
    }
    const ChannelGains g = channelGains(c);
    return {g.left, g.right};
}

void ChannelBusInput::render(float* left, float* right, int frames) {
    for (int done = 0; done < frames;) {
        const int n = std::min(frames - done, ClockBridge::kMaxRequest);
        float* l = left + done;
        float* r = right + done;
        const Gains wanted = target();
        // Silent and staying so: the hand-over keeps pace without working out the audio.
        const bool listened = !(wanted == Gains{}) || rampLeft_ > 0 || !(current_ == Gains{});
        if (!bridge_.pull(l, r, n, feed_->now(), listened)) {
            // Silence; the sound that follows fades in.
            current_ = {};
            target_ = {};
            rampLeft_ = 0;
        } else if (listened) {
            applyGains(wanted, l, r, n);
        }
        done += n;
    }
}

void ChannelBusInput::applyGains(const Gains& wanted, float* left, float* right, int frames) {
    if (!(wanted == target_)) {
        target_ = wanted;
        rampLeft_ = kRampFrames;
        step_ = {(wanted.left - current_.left) / kRampFrames,
                 (wanted.right - current_.right) / kRampFrames};
    }
    const bool audible = !(current_ == Gains{}) || !(target_ == Gains{});
    int i = 0;
    for (; i < frames && rampLeft_ > 0; ++i) {
        current_.left += step_.left;
        current_.right += step_.right;
        if (--rampLeft_ == 0) {
            current_ = target_;
        }
        left[i] *= current_.left;
        right[i] *= current_.right;
    }
    if (i < frames) {
        // Steady: a unity gain leaves the audio as it came.
        if (current_.left != 1.0f) {
            for (int k = i; k < frames; ++k) {
                left[k] *= current_.left;
            }
        }
        if (current_.right != 1.0f) {
            for (int k = i; k < frames; ++k) {
                right[k] *= current_.right;
            }
        }
    }
    if (audible) {
        feed_->state().updateBusMeterDirect(busId_, left, frames);
    }
}

}  // namespace qv
