// The live mixer as a preset, and a preset as the live mixer.

#include <algorithm>
#include <chrono>

#include "Audio/BusGraphs.h"
#include "Audio/ChannelRouting.h"
#include "Audio/DeviceCatalog.h"
#include "Audio/MultiOutputEngine.h"
#include "Foundation/Log.h"

namespace qv {
namespace {

EQPreset capture(const EQSettings& eq) {
    EQPreset preset;
    preset.eqType = eqTypeText(eq.eqType.get());
    preset.eqLowGain = eq.eqLowGain.get();
    preset.eqMidGain = eq.eqMidGain.get();
    preset.eqHighGain = eq.eqHighGain.get();
    preset.eqBands = eq.eqBands.get();
    preset.eqEnabled = eq.eqEnabled.get();
    return preset;
}

// A layout text outside the three known ones gives the 3-band layout; bands only when stored.
void apply(const EQPreset& preset, EQSettings& eq) {
    eq.eqType = eqTypeFromText(preset.eqType).value_or(EQType::bands3);
    eq.eqLowGain = preset.eqLowGain;
    eq.eqMidGain = preset.eqMidGain;
    eq.eqHighGain = preset.eqHighGain;
    if (preset.eqBands) {
        eq.eqBands = *preset.eqBands;
    }
    eq.eqEnabled = preset.eqEnabled;
}

}  // namespace

MixerPreset MultiOutputEngine::createPreset(const std::string& name) {
    MixerPreset preset;
    preset.id = Uuid::random();
    preset.name = name;
    preset.createdAt = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    for (const auto& channel : inputChannels.get()) {
        InputChannelPreset c;
        static_cast<EQPreset&>(c) = capture(*channel);
        c.id = Uuid::random();
        c.name = channel->name.get();
        c.inputGain = channel->inputGain.get();
        c.faderLevel = channel->faderLevel.get();
        c.panEnabled = channel->panEnabled.get();
        c.pan = channel->pan.get();
        c.isMuted = channel->isMuted.get();
        c.isSolo = channel->isSolo.get();
        const auto& assigned = channel->busAssignments.get();
        c.busAssignments = {assigned.begin(), assigned.end()};
        c.sourceType = sourceTypeText(channel->sourceType);
        if (channel->sourceDeviceID) {
            if (auto uid = catalog_->getDeviceUID(*channel->sourceDeviceID); !uid.empty()) {
                c.sourceDeviceUID = uid;
            }
        }
        c.sourceAppBundleId = channel->sourceAppBundleId;
        // A source that is awaited stays in the preset.
        const auto awaited = channel->sourceError.get();
        if (channel->sourceType == InputSourceType::none && awaited) {
            if (channel->sourceAppBundleId && *awaited == "App not running") {
                c.sourceType = sourceTypeText(InputSourceType::appAudio);
            } else if (channel->sourceDeviceUID && *awaited == "Device lost") {
                c.sourceType = sourceTypeText(InputSourceType::microphone);
                c.sourceDeviceUID = channel->sourceDeviceUID;
            }
        }
        // Written so that a saved fader or gain comes back switched on.
        c.gainEnabled = channel->gainEnabled.get();
        c.faderEnabled = channel->faderEnabled.get();
        preset.inputChannels.push_back(std::move(c));
    }
    for (const auto& bus : outputBusses.get()) {
        OutputBusPreset b;
        static_cast<EQPreset&>(b) = capture(*bus);
        b.id = bus->id;
        b.name = bus->name.get();
        b.faderLevel = bus->faderLevel.get();
        b.isMuted = bus->isMuted.get();
        b.delayMs = bus->delayMs.get();
        if (auto device = bus->outputDevice.get()) {
            b.outputDeviceUID = device->uid;
        } else if (auto it = awaitedDevices_.find(bus->id); it != awaitedDevices_.end()) {
            // Away for now: the preset keeps the device the bus waits for.
            b.outputDeviceUID = it->second.uid;
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
        routing_->teardownChannelAudio(*channel);
    }
    inputChannels = {};
    outputBusses = {};
    awaitedDevices_.clear();

    std::vector<std::shared_ptr<OutputBus>> busses;
    std::int64_t largestId = 0;
    for (const auto& b : preset.outputBuses) {
        auto bus = std::make_shared<OutputBus>(static_cast<int>(b.id), b.name);
        bus->faderLevel = b.faderLevel;
        bus->isMuted = b.isMuted;
        apply(b, *bus);
        bus->delayMs = b.delayMs;
        if (b.outputDeviceUID) {
            const auto& devices = availableOutputDevices.get();
            auto found = std::find_if(devices.begin(), devices.end(),
                                      [&](const auto& d) { return d.uid == *b.outputDeviceUID; });
            if (found != devices.end()) {
                bus->outputDevice = *found;
            } else {
                // Not plugged in: the bus binds to it when it appears.
                AudioOutputDevice awaited;
                awaited.uid = *b.outputDeviceUID;
                awaited.name = *b.outputDeviceUID;
                awaitDevice(*bus, awaited);
            }
        }
        busses.push_back(bus);
        outputBusses = busses;
        largestId = std::max(largestId, b.id);
    }
    nextBusId_ = static_cast<int>(largestId + 1);
    if (outputBusses.get().empty()) {
        outputBusses = {std::make_shared<OutputBus>(1, "Bus 1")};
        nextBusId_ = 2;
    }

    EngineError error;
    if (!start(&error)) {
        Log::line("❌ Could not start engine: " + error.localizedDescription);
        return;
    }
    for (const auto& bus : outputBusses.get()) {
        buses_->applyDelay(*bus);
        buses_->applyVolume(*bus);
        buses_->applyEQ(*bus);
    }

    for (const auto& c : preset.inputChannels) {
        auto channel = std::make_shared<InputChannel>(c.name);
        channel->inputGain = c.inputGain;
        channel->faderLevel = c.faderLevel;
        channel->panEnabled = c.panEnabled.value_or(false);
        channel->pan = c.pan;
        channel->isMuted = c.isMuted;
        channel->isSolo = c.isSolo;
        apply(c, *channel);
        channel->busAssignments = std::set<int>(c.busAssignments.begin(), c.busAssignments.end());
        channel->gainEnabled = c.gainEnabled.value_or(false);
        channel->faderEnabled = c.faderEnabled.value_or(false);
        routing_->setupChannelAudio(channel);
        auto list = inputChannels.get();
        list.push_back(channel);
        inputChannels = std::move(list);
        // The channel's source comes back once this apply has returned.
        tasks_.post([this, channel, c] {
            restoreSource(channel, sourceTypeFromText(c.sourceType), c.sourceDeviceUID,
                          c.sourceAppBundleId, RestoreReason::preset);
        });
    }
    Log::line("✅ Preset '" + preset.name + "' applied with " +
              std::to_string(preset.inputChannels.size()) + " channels");
}

}  // namespace qv
