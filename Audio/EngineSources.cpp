// Choosing, stopping and recovering channel sources; the capture permission.

#include <algorithm>

#include "Audio/AudioRingBuffer.h"
#include "Audio/MultiOutputEngine.h"
#include "Foundation/Log.h"

namespace qv {

void MultiOutputEngine::setInputSource(const std::shared_ptr<InputChannel>& channel,
                                       const AudioInputDevice& device) {
    // A copy: the device lists are read again below, and callers pass their elements.
    const AudioInputDevice microphone = device;
    if (isIdleSuspended.get()) {
        resumeFromIdle();
    }
    stopInputCapture(channel);
    channel->sourceType = InputSourceType::microphone;
    channel->sourceDeviceID = microphone.deviceID;
    channel->sourceDeviceUID = microphone.id;
    channel->sourceError = std::nullopt;
    if (!isRunning.get()) {
        start();
    }
    setDeviceTo48kHz(microphone.deviceID);
    Log::line("🎤 Setting mic source: " + microphone.name);
    startMicrophoneCapture(channel, microphone.deviceID);
}

void MultiOutputEngine::setInputSource(const std::shared_ptr<InputChannel>& channel,
                                       const RunningApplication& application) {
    const RunningApplication app = application;
    if (isIdleSuspended.get()) {
        resumeFromIdle();
    }
    stopInputCapture(channel);
    channel->sourceType = InputSourceType::appAudio;
    channel->sourceAppBundleId = app.bundleIdentifier;
    channel->sourceError = std::nullopt;
    if (!isRunning.get()) {
        start();
    }
    Log::line("🔊 Setting app source: " + app.applicationName);
    std::weak_ptr<MultiOutputEngine> weakSelf = weak_from_this();
    env_.mainQueue.post([weakSelf, channel, bundleId = app.bundleIdentifier] {
        if (auto self = weakSelf.lock()) {
            self->startAppCapture(channel, bundleId);
        }
    });
}

void MultiOutputEngine::setInputSourceSystemAudio(const std::shared_ptr<InputChannel>& channel) {
    if (isIdleSuspended.get()) {
        resumeFromIdle();
    }
    stopInputCapture(channel);
    channel->sourceType = InputSourceType::systemAudio;
    channel->sourceError = std::nullopt;
    if (!isRunning.get()) {
        start();
    }
    Log::line("🔊 Setting system audio source");
    std::weak_ptr<MultiOutputEngine> weakSelf = weak_from_this();
    env_.mainQueue.post([weakSelf, channel] {
        if (auto self = weakSelf.lock()) {
            self->startAppCapture(channel, std::nullopt);
        }
    });
}

void MultiOutputEngine::clearInputSource(const std::shared_ptr<InputChannel>& channel) {
    stopInputCapture(channel);
    channel->sourceDeviceID.reset();
    channel->sourceDeviceUID.reset();
    channel->sourceAppBundleId.reset();
    Log::line("🚫 Cleared source for " + channel->name.get());
}

void MultiOutputEngine::stopInputCapture(const std::shared_ptr<InputChannel>& channel) {
    // A capture whose start is still pending is dropped too, so it cannot start later.
    scOutputHandlers.erase(channel->id);
    if (auto it = scStreams.find(channel->id); it != scStreams.end()) {
        auto stream = it->second;
        scStreams.erase(it);
        stream->stopCapture([stream](std::optional<std::string>) {});
    }
    if (auto it = inputEngines.find(channel->id); it != inputEngines.end()) {
        it->second->inputNode().removeTap(0);
        it->second->stop();
        inputEngines.erase(it);
    }
    if (channel->useLowLatencyPath) {
        for (auto& [busId, source] : channel->busSourceNodes) {
            if (auto* graph = source->engine()) {
                graph->detach(source);
            }
        }
        channel->busSourceNodes.clear();
        for (auto& [busId, ring] : channel->busRingBuffers) {
            ring->reset();
        }
        channel->busRingBuffers.clear();
        channel->publishRoutes();
        channel->useLowLatencyPath = false;
        // Without this the channel would have no player chains, and a following application or
        // standard-path source would play nowhere.
        // Building a chain replaces the source chain's equaliser on that bus.
        for (const auto& bus : outputBusses.get()) {
            if (bus->outputEngine && bus->mixerNode) {
                buildPlayerChain(channel, bus);
            }
        }
    }
    channel->sampleRateConverter.reset();
    channel->sourceError = std::nullopt;
    channel->sourceType = InputSourceType::none;
    Log::line("🛑 Stopped input capture for " + channel->name.get());
}

void MultiOutputEngine::checkScreenCapturePermission(Completion done) {
    std::weak_ptr<MultiOutputEngine> weakSelf = weak_from_this();
    env_.capture.getShareableContent([weakSelf, done](std::optional<ShareableContent> content,
                                                      std::string error) {
        auto self = weakSelf.lock();
        if (!self) {
            return;
        }
        if (content) {
            self->hasScreenCapturePermission = true;
            std::vector<RunningApplication> apps;
            for (const auto& app : content->applications) {
                if (app.applicationName.empty() || app.bundleIdentifier.empty()) {
                    continue;
                }
                bool seen = std::any_of(apps.begin(), apps.end(), [&](const auto& a) {
                    return a.bundleIdentifier == app.bundleIdentifier;
                });
                if (!seen) {
                    apps.push_back(app);
                }
            }
            std::stable_sort(apps.begin(), apps.end(), [](const auto& a, const auto& b) {
                return a.applicationName < b.applicationName;
            });
            const auto count = apps.size();
            self->capturableApps = std::move(apps);
            Log::line("✅ Screen capture permission granted, " + std::to_string(count) + " apps");
        } else {
            self->hasScreenCapturePermission = false;
            Log::line("❌ No screen capture permission: " + error);
        }
        if (done) {
            done();
        }
    });
}

void MultiOutputEngine::autoRecoverLostSources() {
    for (const auto& bus : outputBusses.get()) {
        auto current = bus->outputDevice.get();
        if (!current) {
            continue;
        }
        for (const auto& fresh : availableOutputDevices.get()) {
            if (fresh.uid != current->uid) {
                continue;
            }
            if (fresh.id == current->id) {
                bus->outputDevice = fresh;
            } else {
                Log::line("🔄 Bus " + std::to_string(bus->id) + " device ID changed (" +
                          std::to_string(current->id) + " → " + std::to_string(fresh.id) +
                          "), rebuilding...");
                assignDevice(fresh, bus);
            }
            break;
        }
    }
    for (const auto& channel : inputChannels.get()) {
        if (channel->sourceType != InputSourceType::none) {
            continue;
        }
        if (channel->sourceDeviceUID) {
            const auto& inputs = availableInputDevices.get();
            auto it = std::find_if(inputs.begin(), inputs.end(), [&](const auto& d) {
                return d.id == *channel->sourceDeviceUID;
            });
            if (it != inputs.end()) {
                const AudioInputDevice device = *it;
                Log::line("🔄 Auto-recovering lost mic source for " + channel->name.get() + ": " +
                          device.name);
                setInputSource(channel, device);
                continue;
            }
        }
        if (channel->sourceAppBundleId) {
            const auto& apps = capturableApps.get();
            auto it = std::find_if(apps.begin(), apps.end(), [&](const auto& a) {
                return a.bundleIdentifier == *channel->sourceAppBundleId;
            });
            if (it != apps.end()) {
                const RunningApplication app = *it;
                Log::line("🔄 Auto-recovering lost app source for " + channel->name.get() + ": " +
                          app.bundleIdentifier);
                setInputSource(channel, app);
            }
        }
    }
}

}  // namespace qv
