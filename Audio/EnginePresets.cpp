// The live mixer as a preset, and a preset as the live mixer.

#include <algorithm>
#include <chrono>
#include <cmath>

#include "Audio/MultiOutputEngine.h"
#include "Foundation/Log.h"

namespace qv {
namespace {

const char* sourceTypeText(InputSourceType type) {
    switch (type) {
        case InputSourceType::none:
            return "none";
        case InputSourceType::microphone:
            return "microphone";
        case InputSourceType::systemAudio:
            return "systemAudio";
        case InputSourceType::appAudio:
            return "appAudio";
    }
    return "none";
}

}  // namespace

MixerPreset MultiOutputEngine::createPreset(const std::string& name) {
    MixerPreset preset;
    preset.id = Uuid::random();
    preset.name = name;
    preset.createdAt = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    for (const auto& channel : inputChannels.get()) {
        InputChannelPreset c;
        c.id = Uuid::random();
        c.name = channel->name.get();
        c.inputGain = channel->inputGain.get();
        c.faderLevel = channel->faderLevel.get();
        c.panEnabled = channel->panEnabled.get();
        c.pan = channel->pan.get();
        c.isMuted = channel->isMuted.get();
        c.isSolo = channel->isSolo.get();
        c.eqType = eqTypeText(channel->eqType.get());
        c.eqLowGain = channel->eqLowGain.get();
        c.eqMidGain = channel->eqMidGain.get();
        c.eqHighGain = channel->eqHighGain.get();
        c.eqBands = channel->eqBands.get();
        c.eqEnabled = channel->eqEnabled.get();
        const auto& assigned = channel->busAssignments.get();
        c.busAssignments = {assigned.begin(), assigned.end()};
        c.sourceType = sourceTypeText(channel->sourceType);
        if (channel->sourceDeviceID) {
            if (auto uid = getDeviceUID(*channel->sourceDeviceID); !uid.empty()) {
                c.sourceDeviceUID = uid;
            }
        }
        c.sourceAppBundleId = channel->sourceAppBundleId;
        // Written so that a saved fader or gain comes back switched on.
        c.gainEnabled = channel->gainEnabled.get();
        c.faderEnabled = channel->faderEnabled.get();
        preset.inputChannels.push_back(std::move(c));
    }
    for (const auto& bus : outputBusses.get()) {
        OutputBusPreset b;
        b.id = bus->id;
        b.name = bus->name.get();
        b.faderLevel = bus->faderLevel.get();
        b.isMuted = bus->isMuted.get();
        b.eqType = eqTypeText(bus->eqType.get());
        b.eqLowGain = bus->eqLowGain.get();
        b.eqMidGain = bus->eqMidGain.get();
        b.eqHighGain = bus->eqHighGain.get();
        b.eqBands = bus->eqBands.get();
        b.eqEnabled = bus->eqEnabled.get();
        b.delayMs = bus->delayMs.get();
        if (auto device = bus->outputDevice.get()) {
            b.outputDeviceUID = device->uid;
        }
        preset.outputBuses.push_back(std::move(b));
    }
    Log::line("📦 Created preset '" + name + "'");
    return preset;
}

void MultiOutputEngine::applyPreset(const MixerPreset& preset) {
    Log::line("📦 Applying preset '" + preset.name + "'...");
    stop();
    for (const auto& channel : inputChannels.get()) {
        teardownChannelAudio(channel);
    }
    inputChannels = {};
    outputBusses = {};

    std::vector<std::shared_ptr<OutputBus>> busses;
    std::int64_t largestId = 0;
    for (const auto& b : preset.outputBuses) {
        auto bus = std::make_shared<OutputBus>(static_cast<int>(b.id), b.name);
        bus->faderLevel = b.faderLevel;
        bus->isMuted = b.isMuted;
        bus->eqType = eqTypeFromText(b.eqType).value_or(EQType::bands3);
        bus->eqLowGain = b.eqLowGain;
        bus->eqMidGain = b.eqMidGain;
        bus->eqHighGain = b.eqHighGain;
        if (b.eqBands) {
            bus->eqBands = *b.eqBands;
        }
        bus->eqEnabled = b.eqEnabled;
        bus->delayMs = b.delayMs;
        if (b.outputDeviceUID) {
            for (const auto& device : availableOutputDevices.get()) {
                if (device.uid == *b.outputDeviceUID) {
                    bus->outputDevice = device;
                    break;
                }
            }
        }
        busses.push_back(bus);
        outputBusses = busses;
        largestId = std::max(largestId, b.id);
    }
    nextBusId = static_cast<int>(largestId + 1);
    if (outputBusses.get().empty()) {
        outputBusses = {std::make_shared<OutputBus>(1, "Bus 1")};
        nextBusId = 2;
    }

    EngineError error;
    if (!start(&error)) {
        Log::line("❌ Could not start engine: " + error.localizedDescription);
        return;
    }
    for (const auto& bus : outputBusses.get()) {
        updateBusDelay(bus);
        updateBusFader(bus);
        if (bus->eqNode) {
            configureBusEQNode(*bus->eqNode, *bus);
        }
    }

    std::weak_ptr<MultiOutputEngine> weakSelf = weak_from_this();
    for (const auto& c : preset.inputChannels) {
        auto channel = std::make_shared<InputChannel>(c.name);
        channel->inputGain = c.inputGain;
        channel->faderLevel = c.faderLevel;
        channel->panEnabled = c.panEnabled.value_or(false);
        channel->pan = c.pan;
        channel->isMuted = c.isMuted;
        channel->isSolo = c.isSolo;
        channel->eqType = eqTypeFromText(c.eqType).value_or(EQType::bands3);
        channel->eqLowGain = c.eqLowGain;
        channel->eqMidGain = c.eqMidGain;
        channel->eqHighGain = c.eqHighGain;
        if (c.eqBands) {
            channel->eqBands = *c.eqBands;
        }
        channel->eqEnabled = c.eqEnabled;
        channel->busAssignments = std::set<int>(c.busAssignments.begin(), c.busAssignments.end());
        channel->gainEnabled = c.gainEnabled.value_or(false);
        channel->faderEnabled = c.faderEnabled.value_or(false);
        setupChannelAudio(channel);
        auto list = inputChannels.get();
        list.push_back(channel);
        inputChannels = std::move(list);
        for (auto& [busId, player] : channel->busPlayerNodes) {
            player->play();
        }
        env_.mainQueue.post([weakSelf, channel, c] {
            if (auto self = weakSelf.lock()) {
                self->restoreChannelSource(channel, c);
            }
        });
    }
    Log::line("✅ Preset '" + preset.name + "' applied with " +
              std::to_string(preset.inputChannels.size()) + " channels");
}

void MultiOutputEngine::restoreChannelSource(const std::shared_ptr<InputChannel>& channel,
                                             const InputChannelPreset& preset) {
    if (preset.sourceType == "microphone") {
        if (!preset.sourceDeviceUID) {
            return;
        }
        for (const auto& device : availableInputDevices.get()) {
            if (device.id == *preset.sourceDeviceUID) {
                const AudioInputDevice found = device;
                setInputSource(channel, found);
                return;
            }
        }
    } else if (preset.sourceType == "appAudio") {
        if (!preset.sourceAppBundleId) {
            return;
        }
        for (const auto& app : capturableApps.get()) {
            if (app.bundleIdentifier == *preset.sourceAppBundleId) {
                const RunningApplication found = app;
                setInputSource(channel, found);
                return;
            }
        }
    } else if (preset.sourceType == "systemAudio") {
        setInputSourceSystemAudio(channel);
    }
}

}  // namespace qv
