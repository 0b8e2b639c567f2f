#include "Audio/MeterHub.h"

#include <algorithm>

#include "Audio/EngineDiagnostics.h"

namespace qv {
namespace {

constexpr float kMeterFloor = -60.0f;

float fall(float level, float step) {
    const float next = level - step;
    return next <= kMeterFloor ? kMeterFloor : next;
}

}  // namespace

MeterHub::MeterHub(MixerState& state, MainQueue& queue, std::shared_ptr<EngineAudioState> audio)
    : state_(state), tasks_(queue), audio_(std::move(audio)) {
    // The solo state follows every channel's solo flag, whoever sets it (a strip, a preset),
    // and the channel list itself (a removed soloed channel must not silence the others).
    channelsChanged_ = state_.inputChannels.observeDidSet([this](const auto&) { followSolo(); });
}

MeterHub::~MeterHub() {
    stopMeterTimer();
    if (drainTimer_) {
        drainTimer_->cancel();
    }
}

void MeterHub::followSolo() {
    soloSubscriptions_.clear();
    for (const auto& channel : state_.inputChannels.get()) {
        soloSubscriptions_.push_back(
            channel->isSolo.observeDidSet([this](const bool&) { updateSoloState(); }));
    }
    updateSoloState();
}

void MeterHub::setPowerMessageHandler(std::function<void(const MeterMessage&)> handler) {
    onPowerMessage_ = std::move(handler);
}

void MeterHub::setDrainHook(std::function<void()> hook) {
    drainHook_ = std::move(hook);
}

void MeterHub::startDrain() {
    if (drainTimer_) {
        return;
    }
    drainTimer_ = tasks_.scheduleRepeating(kMeterDrainInterval, [this] { drainMeterValues(); });
}

void MeterHub::stopDrain() {
    drainMeterValues();
    if (drainTimer_) {
        drainTimer_->cancel();
        drainTimer_.reset();
    }
}

void MeterHub::drainMeterValues() {
    while (auto message = audio_->pop()) {
        apply(*message);
    }
    if (drainHook_) {
        drainHook_();
    }
}

void MeterHub::apply(const MeterMessage& message) {
    if (message.kind == MeterMessage::Kind::audioActivity ||
        message.kind == MeterMessage::Kind::monitorWake) {
        if (onPowerMessage_) {
            onPowerMessage_(message);
        }
        return;
    }
    // Hidden meters do not move, nor do those of a suspended engine (what its buses played
    // while they faded out arrives late).
    if (!isUIVisible_ || state_.isIdleSuspended.get()) {
        return;
    }
    auto smooth = [&](auto& owner) {
        owner.meterLevel = 0.7f * owner.meterLevel.get() + 0.3f * message.level;
        if (message.level > owner.peakLevel.get()) {
            owner.peakLevel = message.level;
        }
    };
    if (message.kind == MeterMessage::Kind::channelLevel) {
        if (auto channel = state_.channel(message.channelId)) {
            smooth(*channel);
        }
        return;
    }
    if (auto bus = state_.bus(message.busId)) {
        smooth(*bus);
    }
}

void MeterHub::startMeterTimer() {
    if (meterTimer_ || !state_.isRunning.get()) {
        return;
    }
    meterTimer_ = tasks_.scheduleRepeating(0.2, [this] { updateMeters(); });
}

void MeterHub::stopMeterTimer() {
    if (meterTimer_) {
        meterTimer_->cancel();
        meterTimer_.reset();
    }
}

void MeterHub::updateMeters() {
    for (const auto& channel : state_.inputChannels.get()) {
        if (channel->sourceType == InputSourceType::none) {
            continue;
        }
        channel->meterLevel = fall(channel->meterLevel.get(), 0.5f);
        channel->peakLevel = fall(channel->peakLevel.get(), 0.125f);
    }
    float loudest = kMeterFloor;
    bool anyBound = false;
    for (const auto& bus : state_.outputBusses.get()) {
        if (!bus->outputDevice.get()) {
            continue;
        }
        bus->meterLevel = fall(bus->meterLevel.get(), 0.5f);
        bus->peakLevel = fall(bus->peakLevel.get(), 0.125f);
        loudest = anyBound ? std::max(loudest, bus->meterLevel.get()) : bus->meterLevel.get();
        anyBound = true;
    }
    state_.masterLevel = std::max(loudest, state_.masterLevel.get() - 0.5f);
}

void MeterHub::resetLevels() {
    for (const auto& channel : state_.inputChannels.get()) {
        channel->meterLevel = kMeterFloor;
        channel->peakLevel = kMeterFloor;
    }
    for (const auto& bus : state_.outputBusses.get()) {
        bus->meterLevel = kMeterFloor;
        bus->peakLevel = kMeterFloor;
    }
    state_.masterLevel = kMeterFloor;
}

void MeterHub::updateSoloState() {
    const auto& channels = state_.inputChannels.get();
    audio_->hasSoloActive.store(std::any_of(channels.begin(), channels.end(),
                                            [](const auto& c) { return c->isSolo.get(); }));
}

void MeterHub::describe(EngineDiagnostics& diagnostics) const {
    diagnostics.hasMeterTimer = meterTimer_.has_value();
    diagnostics.droppedMeterValues = audio_->droppedMeterValues();
}

}  // namespace qv
