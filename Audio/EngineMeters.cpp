// Meter decay timer and the engine-wide solo state.

#include <algorithm>

#include "Audio/MultiOutputEngine.h"

namespace qv {
namespace {

constexpr float kMeterFloor = -60.0f;

float fall(float level, float step) {
    const float next = level - step;
    return next <= kMeterFloor ? kMeterFloor : next;
}

}  // namespace

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
    hasSoloActive.store(std::any_of(channels.begin(), channels.end(),
                                    [](const auto& c) { return c->isSolo.get(); }));
}

}  // namespace qv
