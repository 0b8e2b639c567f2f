// Channel sources: choosing, stopping, clearing and restoring them, and bringing back the
// sources and bus devices that went away and returned.

#include <algorithm>

#include "Audio/DeviceCatalog.h"
#include "Audio/MultiOutputEngine.h"
#include "Audio/SourceCapture.h"
#include "Foundation/Log.h"

namespace qv {

void MultiOutputEngine::setInputSource(const std::shared_ptr<InputChannel>& channel,
                                       const AudioInputDevice& device) {
    // A copy: the device lists are read again below, and callers pass their elements.
    const AudioInputDevice microphone = device;
    resumeFromIdle();
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
    capture_->startMicrophoneCapture(channel, microphone.deviceID);
}

void MultiOutputEngine::setInputSource(const std::shared_ptr<InputChannel>& channel,
                                       const RunningApplication& application) {
    const RunningApplication app = application;
    resumeFromIdle();
    stopInputCapture(channel);
    channel->sourceType = InputSourceType::appAudio;
    channel->sourceAppBundleId = app.bundleIdentifier;
    channel->sourceError = std::nullopt;
    if (!isRunning.get()) {
        start();
    }
    Log::line("🔊 Setting app source: " + app.applicationName);
    tasks_.post([this, channel, bundleId = app.bundleIdentifier] {
        capture_->startAppCapture(channel, bundleId);
    });
}

void MultiOutputEngine::setInputSourceSystemAudio(const std::shared_ptr<InputChannel>& channel) {
    resumeFromIdle();
    stopInputCapture(channel);
    channel->sourceType = InputSourceType::systemAudio;
    channel->sourceError = std::nullopt;
    if (!isRunning.get()) {
        start();
    }
    Log::line("🔊 Setting system audio source");
    tasks_.post([this, channel] { capture_->startAppCapture(channel, std::nullopt); });
}

void MultiOutputEngine::clearInputSource(const std::shared_ptr<InputChannel>& channel) {
    stopInputCapture(channel);
    channel->sourceDeviceID.reset();
    channel->sourceDeviceUID.reset();
    channel->sourceAppBundleId.reset();
    Log::line("🚫 Cleared source for " + channel->name.get());
}

void MultiOutputEngine::stopInputCapture(const std::shared_ptr<InputChannel>& channel) {
    capture_->stopInputCapture(channel);
}

void MultiOutputEngine::setDeviceTo48kHz(DeviceID device) {
    bool retuned = false;
    catalog_->setDeviceTo48kHz(device, &retuned);
    if (retuned) {
        // The device lists are stale now.
        availableOutputDevices = catalog_->getOutputDevices();
        availableInputDevices = catalog_->getInputDevices();
        autoRecoverLostSources();
    }
}

bool MultiOutputEngine::restoreSource(const std::shared_ptr<InputChannel>& channel,
                                      InputSourceType type,
                                      const std::optional<std::string>& deviceUID,
                                      const std::optional<std::string>& appBundleId,
                                      RestoreReason reason) {
    switch (type) {
        case InputSourceType::none:
            return false;
        case InputSourceType::systemAudio:
            setInputSourceSystemAudio(channel);
            return true;
        case InputSourceType::microphone: {
            if (!deviceUID) {
                return false;
            }
            const auto& inputs = availableInputDevices.get();
            auto it = std::find_if(inputs.begin(), inputs.end(),
                                   [&](const auto& d) { return d.id == *deviceUID; });
            if (it == inputs.end()) {
                if (reason == RestoreReason::refresh) {
                    channel->sourceError = std::string("Device lost");
                    Log::line("⚠️ Mic device not found: " + *deviceUID);
                } else if (reason == RestoreReason::preset) {
                    // Remembered, so that the device is taken when it comes, and shown.
                    channel->sourceDeviceUID = *deviceUID;
                    channel->sourceError = std::string("Device lost");
                }
                return false;
            }
            const AudioInputDevice device = *it;
            if (reason == RestoreReason::recovery) {
                Log::line("🔄 Auto-recovering lost mic source for " + channel->name.get() + ": " +
                          device.name);
            }
            setInputSource(channel, device);
            return true;
        }
        case InputSourceType::appAudio: {
            if (!appBundleId) {
                return false;
            }
            const auto& apps = capturableApps.get();
            auto it = std::find_if(apps.begin(), apps.end(), [&](const auto& a) {
                return a.bundleIdentifier == *appBundleId;
            });
            if (it == apps.end()) {
                if (reason == RestoreReason::refresh) {
                    channel->sourceError = std::string("App not running");
                    Log::line("⚠️ App not found: " + *appBundleId);
                } else if (reason == RestoreReason::preset) {
                    // Remembered, so that the application is captured once it plays, and shown.
                    channel->sourceAppBundleId = *appBundleId;
                    channel->sourceError = std::string("App not running");
                }
                return false;
            }
            const RunningApplication app = *it;
            if (reason == RestoreReason::recovery) {
                Log::line("🔄 Auto-recovering lost app source for " + channel->name.get() + ": " +
                          app.bundleIdentifier);
            }
            setInputSource(channel, app);
            return true;
        }
    }
    return false;
}

bool MultiOutputEngine::awaitsApplication() const {
    const auto& channels = inputChannels.get();
    return std::any_of(channels.begin(), channels.end(), [](const auto& channel) {
        return channel->sourceType == InputSourceType::none && channel->sourceAppBundleId;
    });
}

void MultiOutputEngine::autoRecoverLostSources() {
    rebindReturnedDevices();
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
        // A stopped channel may still name its source; a cleared one names nothing.
        if (channel->sourceType != InputSourceType::none) {
            continue;
        }
        const auto uid = channel->sourceDeviceUID;
        const auto bundleId = channel->sourceAppBundleId;
        if (!restoreSource(channel, InputSourceType::microphone, uid, {},
                           RestoreReason::recovery)) {
            restoreSource(channel, InputSourceType::appAudio, {}, bundleId,
                          RestoreReason::recovery);
        }
    }
}

}  // namespace qv
