// Device lists, the 48 kHz switch and the device-list listener.

#include <cmath>

#include "Audio/MultiOutputEngine.h"
#include "Foundation/Log.h"

namespace qv {
namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

}  // namespace

std::string MultiOutputEngine::getDeviceUID(DeviceID device) const {
    return env_.hardware.deviceUID(device).value_or("");
}

std::string MultiOutputEngine::getDeviceName(DeviceID device) const {
    auto name = env_.hardware.deviceName(device);
    if (!name || name->empty()) {
        return "Unknown Device";
    }
    return *name;
}

std::string MultiOutputEngine::getDeviceTransportType(DeviceID device) const {
    auto transport = env_.hardware.transport(device);
    if (!transport) {
        return "Other";
    }
    switch (*transport) {
        case Transport::builtIn:
            return "Built-in";
        case Transport::usb:
            return "USB";
        case Transport::bluetooth:
        case Transport::bluetoothLowEnergy:
            return "Bluetooth";
        case Transport::hdmi:
            return "HDMI";
        case Transport::displayPort:
            return "DisplayPort";
        case Transport::thunderbolt:
            return "Thunderbolt";
        case Transport::fireWire:
            return "FireWire";
        case Transport::virtualDevice:
            return "Virtual";
        case Transport::aggregate:
            return "Aggregate";
        case Transport::other:
            return "Other";
    }
    return "Other";
}

namespace {

// One scanned device of either direction, before it becomes a record.
struct ScannedDevice {
    DeviceID id;
    std::string uid;
    std::string name;
    int channelCount;
    std::string transport;
    double rate;
};

}  // namespace

static std::vector<ScannedDevice> scan(const MultiOutputEngine& engine, Direction direction) {
    std::vector<ScannedDevice> result;
    auto ids = engine.hardware().deviceIDs();
    if (!ids || ids->empty()) {
        return result;
    }
    for (DeviceID id : *ids) {
        auto config = engine.hardware().streamConfiguration(id, direction);
        if (!config || config->empty()) {
            continue;
        }
        int channels = 0;
        for (auto c : *config) {
            channels += static_cast<int>(c);
        }
        if (channels == 0) {
            continue;
        }
        std::string name = engine.getDeviceName(id);
        std::string uid = engine.getDeviceUID(id);
        if (contains(name, "CADefaultDeviceAggregate") ||
            startsWith(uid, "com.apple.audio.aggregate") ||
            startsWith(uid, "CADefaultDeviceAggregate")) {
            continue;
        }
        std::string transport = engine.getDeviceTransportType(id);
        double rate = engine.hardware().nominalSampleRate(id).value_or(0.0);
        result.push_back({id, uid, name, channels, transport, rate});
    }
    return result;
}

std::vector<AudioOutputDevice> MultiOutputEngine::getOutputDevices() const {
    std::vector<AudioOutputDevice> devices;
    for (auto& d : scan(*this, Direction::output)) {
        devices.push_back({d.id, d.uid, d.name, d.channelCount, d.transport, d.rate});
    }
    return devices;
}

std::vector<AudioInputDevice> MultiOutputEngine::getInputDevices() const {
    std::vector<AudioInputDevice> devices;
    for (auto& d : scan(*this, Direction::input)) {
        devices.push_back({d.uid, d.name, d.id, d.channelCount, d.transport, d.rate});
    }
    return devices;
}

void MultiOutputEngine::scanDevices(Completion done) {
    availableOutputDevices = getOutputDevices();
    availableInputDevices = getInputDevices();
    const auto& busses = outputBusses.get();
    const auto& outputs = availableOutputDevices.get();
    if (!busses.empty() && !busses.front()->outputDevice.get() && !outputs.empty()) {
        busses.front()->outputDevice = outputs.front();
    }
    Log::line("🔊 Found " + std::to_string(outputs.size()) + " output devices");
    Log::line("🎤 Found " + std::to_string(availableInputDevices.get().size()) + " input devices");
    if (done) {
        done();
    }
}

double MultiOutputEngine::setDeviceTo48kHz(DeviceID device) {
    const double rate = env_.hardware.nominalSampleRate(device).value_or(0.0);
    const std::string name = getDeviceName(device);
    if (std::fabs(rate - 48000.0) < 1.0) {
        Log::line("✅ " + name + " already at 48kHz");
        return rate;
    }
    auto count = env_.hardware.availableSampleRateCount(device);
    if (!count || *count == 0) {
        Log::line("⚠️ Cannot query available rates for " + name);
        return rate;
    }
    auto ranges = env_.hardware.availableSampleRates(device);
    if (!ranges) {
        Log::line("⚠️ Cannot read available rates for " + name);
        return rate;
    }
    bool supported = false;
    for (const auto& range : *ranges) {
        if (range.minimum <= 48000.0 && 48000.0 <= range.maximum) {
            supported = true;
            break;
        }
    }
    if (!supported) {
        Log::line("ℹ️ " + name +
                  " does not support 48kHz (current: " + doubleDescription(rate) + "Hz)");
        return rate;
    }
    if (AudioResult set = env_.hardware.setNominalSampleRate(device, 48000.0); !set.ok()) {
        Log::line("⚠️ Failed to set " + name +
                  " to 48kHz (error: " + std::to_string(set.code()) + ")");
        return rate;
    }
    Log::line("✅ Set " + name + " from " + doubleDescription(rate) + "Hz → 48kHz");
    availableOutputDevices = getOutputDevices();
    availableInputDevices = getInputDevices();
    autoRecoverLostSources();
    return 48000.0;
}

void MultiOutputEngine::installDeviceListListener() {
    if (deviceListListenerInstalled) {
        return;
    }
    std::weak_ptr<MultiOutputEngine> weakSelf = weak_from_this();
    env_.hardware.addDeviceListListener([weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->debouncedDeviceListRefresh();
        }
    });
    deviceListListenerInstalled = true;
    Log::line("👂 Device list listener installed (UI-only)");
}

void MultiOutputEngine::debouncedDeviceListRefresh() {
    if (deviceListDebounceWorkItem) {
        deviceListDebounceWorkItem->cancel();
    }
    std::weak_ptr<MultiOutputEngine> weakSelf = weak_from_this();
    deviceListDebounceWorkItem = env_.mainQueue.postAfter(0.3, [weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->availableOutputDevices = self->getOutputDevices();
            self->availableInputDevices = self->getInputDevices();
            self->autoRecoverLostSources();
        }
        Log::line("🔄 Device list refreshed (UI)");
    });
}

void MultiOutputEngine::removeAllDeviceObservers() {
    for (auto it = busConfigObservers.begin(); it != busConfigObservers.end();) {
        if (auto graph = it->second.graph.lock()) {
            graph->removeConfigurationChangeObserver(it->second.token);
        }
        if (auto item = busRecoveryWorkItems.find(it->first); item != busRecoveryWorkItems.end()) {
            item->second.cancel();
            busRecoveryWorkItems.erase(item);
        }
        it = busConfigObservers.erase(it);
    }
    if (deviceListDebounceWorkItem) {
        deviceListDebounceWorkItem->cancel();
    }
}

}  // namespace qv
