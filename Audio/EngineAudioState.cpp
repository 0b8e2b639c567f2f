#include "Audio/EngineAudioState.h"

#include <algorithm>
#include <cmath>

namespace qv {

std::optional<float> measureLevel(const float* samples, std::int64_t count) {
    if (!samples || count <= 0) {
        return std::nullopt;
    }
    float sum = 0.0f;
    for (std::int64_t i = 0; i < count; ++i) {
        sum += samples[i] * samples[i];
    }
    const float rms = std::sqrt(sum / static_cast<float>(count));
    return 20.0f * std::log10(std::max(rms, 0.0001f));
}

void EngineAudioState::updateChannelMeter(const Uuid& channel, const AudioPCMBuffer& buffer) {
    if (buffer.frameLength() == 0 || buffer.format().interleaved) {
        return;
    }
    updateChannelMeterDirect(channel, buffer.floatChannelData()[0], buffer.frameLength());
}

void EngineAudioState::updateChannelMeterDirect(const Uuid& channel, const float* samples,
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
    message.channelId = channel;
    message.level = *level;
    post(message);
}

void EngineAudioState::updateBusMeterFromBuffer(int busId, const AudioPCMBuffer& buffer) {
    if (buffer.frameLength() == 0 || buffer.format().interleaved) {
        return;
    }
    updateBusMeterDirect(busId, buffer.floatChannelData()[0], buffer.frameLength());
}

void EngineAudioState::updateBusMeterDirect(int busId, const float* samples, std::int64_t count) {
    auto level = measureLevel(samples, count);
    if (!level) {
        return;
    }
    MeterMessage message;
    message.kind = MeterMessage::Kind::busLevel;
    message.busId = busId;
    message.level = *level;
    post(message);
}

void EngineAudioState::markAudioActivity() {
    MeterMessage message;
    message.kind = MeterMessage::Kind::audioActivity;
    post(message);
}

}  // namespace qv
