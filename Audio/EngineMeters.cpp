// Meter decay timer and the engine-wide solo state.

#include <algorithm>

#include "Audio/MultiOutputEngine.h"
#include "Foundation/Log.h"

namespace qv {
namespace {

constexpr float kMeterFloor = -60.0f;

float fall(float level, float step) {
    const float next = level - step;
    return next <= kMeterFloor ? kMeterFloor : next;
}

}  // namespace

namespace {

constexpr float kActivityThreshold = -50.0f;

}  // namespace

void MultiOutputEngine::updateChannelMeter(const InputChannel& channel,
                                           const AudioPCMBuffer& buffer) {
    if (buffer.frameLength() == 0 || buffer.format().interleaved) {
        updateChannelMeterDirect(channel, nullptr, 0);
        return;
    }
    updateChannelMeterDirect(channel, buffer.floatChannelData()[0], buffer.frameLength());
}

void MultiOutputEngine::updateChannelMeterDirect(const InputChannel& channel, const float* samples,
                                                 std::int64_t count) {
    auto level = measureLevel(samples, count);
    if (!level) {
        return;
    }
    if (*level > kActivityThreshold) {
        markAudioActivity();
    }
    MeterMessage message;
    message.kind = MeterMessage::Kind::channelLevel;
    message.channelId = channel.id;
    message.level = *level;
    audioState_->post(message);
}

void MultiOutputEngine::updateBusMeterFromBuffer(int busId, const AudioPCMBuffer& buffer) {
    if (buffer.frameLength() == 0 || buffer.format().interleaved) {
        return;
    }
    updateBusMeterDirect(busId, buffer.floatChannelData()[0], buffer.frameLength());
}

void MultiOutputEngine::updateBusMeterDirect(int busId, const float* samples, std::int64_t count) {
    auto level = measureLevel(samples, count);
    if (!level) {
        return;
    }
    MeterMessage message;
    message.kind = MeterMessage::Kind::busLevel;
    message.busId = busId;
    message.level = *level;
    audioState_->post(message);
}

void MultiOutputEngine::startMeterDrain() {
    if (meterDrainTimer_) {
        return;
    }
    std::weak_ptr<MultiOutputEngine> weakSelf = weak_from_this();
    meterDrainTimer_ = env_.mainQueue.scheduleRepeating(kMeterDrainInterval, [weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->drainMeterValues();
        }
    });
}

void MultiOutputEngine::stopMeterDrain() {
    drainMeterValues();
    if (meterDrainTimer_) {
        meterDrainTimer_->cancel();
        meterDrainTimer_.reset();
    }
}

void MultiOutputEngine::drainMeterValues() {
    while (auto message = audioState_->pop()) {
        applyMeterMessage(*message);
    }
    // Routes replaced while a capture or render thread was reading them can go now.
    for (const auto& channel : inputChannels.get()) {
        channel->routes.collect();
    }
}

void MultiOutputEngine::applyMeterMessage(const MeterMessage& message) {
    if (message.kind == MeterMessage::Kind::audioActivity) {
        lastAudioActivity = env_.mainQueue.now();
        return;
    }
    if (message.kind == MeterMessage::Kind::monitorWake) {
        Log::systemf("🎤 IOProc AUDIO DETECTED: dB=%.1f (threshold %.0f) on device %d - WAKING UP",
                     static_cast<double>(message.level), static_cast<double>(ecoWakeThresholdRaw()),
                     message.busId);
        stopIdleMonitor();
        resumeFromIdle();
        return;
    }
    if (!isUIVisible_) {
        return;
    }
    auto apply = [&](auto& owner) {
        owner.meterLevel = 0.7f * owner.meterLevel.get() + 0.3f * message.level;
        if (message.level > owner.peakLevel.get()) {
            owner.peakLevel = message.level;
        }
    };
    if (message.kind == MeterMessage::Kind::channelLevel) {
        for (const auto& channel : inputChannels.get()) {
            if (channel->id == message.channelId) {
                apply(*channel);
                return;
            }
        }
        return;
    }
    for (const auto& bus : outputBusses.get()) {
        if (bus->id == message.busId) {
            apply(*bus);
            return;
        }
    }
}

void MultiOutputEngine::startMeterTimer() {
    if (meterTimer || !isRunning.get()) {
        return;
    }
    std::weak_ptr<MultiOutputEngine> weakSelf = weak_from_this();
    meterTimer = env_.mainQueue.scheduleRepeating(0.2, [weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->updateMeters();
        }
    });
}

void MultiOutputEngine::updateMeters() {
    for (const auto& channel : inputChannels.get()) {
        if (channel->sourceType == InputSourceType::none) {
            continue;
        }
        channel->meterLevel = fall(channel->meterLevel.get(), 0.5f);
        channel->peakLevel = fall(channel->peakLevel.get(), 0.125f);
    }
    float loudest = kMeterFloor;
    bool anyBound = false;
    for (const auto& bus : outputBusses.get()) {
        if (!bus->outputDevice.get()) {
            continue;
        }
        bus->meterLevel = fall(bus->meterLevel.get(), 0.5f);
        bus->peakLevel = fall(bus->peakLevel.get(), 0.125f);
        loudest = anyBound ? std::max(loudest, bus->meterLevel.get()) : bus->meterLevel.get();
        anyBound = true;
    }
    masterLevel = std::max(loudest, masterLevel.get() - 0.5f);
}

void MultiOutputEngine::updateSoloState() {
    const auto& channels = inputChannels.get();
    audioState_->hasSoloActive.store(std::any_of(channels.begin(), channels.end(),
                                                 [](const auto& c) { return c->isSolo.get(); }));
}

}  // namespace qv
