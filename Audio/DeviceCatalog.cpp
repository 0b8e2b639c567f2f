#include "Audio/DeviceCatalog.h"

#include <cmath>

#include "Audio/EngineDiagnostics.h"
#include "Foundation/Log.h"

namespace qv {
namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

// One scanned device of either direction, before it becomes a record.
struct ScannedDevice {
    DeviceID id;
    std::string uid;
    std::string name;
    int channelCount;
    std::string transport;
    double rate;
};

std::vector<ScannedDevice> scan(const DeviceCatalog& catalog, const AudioHardware& hardware,
                                Direction direction) {
    std::vector<ScannedDevice> result;
    auto ids = hardware.deviceIDs();
    if (!ids || ids->empty()) {
        return result;
    }
    for (DeviceID id : *ids) {
        auto config = hardware.streamConfiguration(id, direction);
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
        std::string name = catalog.getDeviceName(id);
        std::string uid = catalog.getDeviceUID(id);
        if (contains(name, "CADefaultDeviceAggregate") ||
            startsWith(uid, "com.apple.audio.aggregate") ||
            startsWith(uid, "CADefaultDeviceAggregate")) {
            continue;
        }
        std::string transport = catalog.getDeviceTransportType(id);
        double rate = hardware.nominalSampleRate(id).value_or(0.0);
        result.push_back({id, uid, name, channels, transport, rate});
    }
    return result;
}

}  // namespace

DeviceCatalog::DeviceCatalog(AudioHardware& hardware, MainQueue& queue)
    : hardware_(hardware), tasks_(queue) {}

std::string DeviceCatalog::getDeviceUID(DeviceID device) const {
    return hardware_.deviceUID(device).value_or("");
}

std::string DeviceCatalog::getDeviceName(DeviceID device) const {
    auto name = hardware_.deviceName(device);
    if (!name || name->empty()) {
        return "Unknown Device";
    }
    return *name;
}

std::string DeviceCatalog::getDeviceTransportType(DeviceID device) const {
    auto transport = hardware_.transport(device);
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

std::vector<AudioOutputDevice> DeviceCatalog::getOutputDevices() const {
    std::vector<AudioOutputDevice> devices;
    for (auto& d : scan(*this, hardware_, Direction::output)) {
        devices.push_back({d.id, d.uid, d.name, d.channelCount, d.transport, d.rate});
    }
    return devices;
}

std::vector<AudioInputDevice> DeviceCatalog::getInputDevices() const {
    std::vector<AudioInputDevice> devices;
    for (auto& d : scan(*this, hardware_, Direction::input)) {
        devices.push_back({d.uid, d.name, d.id, d.channelCount, d.transport, d.rate});
    }
    return devices;
}

double DeviceCatalog::setDeviceTo48kHz(DeviceID device, bool* retuned) {
    *retuned = false;
    const double rate = hardware_.nominalSampleRate(device).value_or(0.0);
    const std::string name = getDeviceName(device);
    if (std::fabs(rate - 48000.0) < 1.0) {
        Log::line("✅ " + name + " already at 48kHz");
        return rate;
    }
    auto count = hardware_.availableSampleRateCount(device);
    if (!count || *count == 0) {
        Log::line("⚠️ Cannot query available rates for " + name);
        return rate;
    }
    auto ranges = hardware_.availableSampleRates(device);
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
    if (AudioResult set = hardware_.setNominalSampleRate(device, 48000.0); !set.ok()) {
        Log::line("⚠️ Failed to set " + name +
                  " to 48kHz (error: " + std::to_string(set.code()) + ")");
        return rate;
    }
    Log::line("✅ Set " + name + " from " + doubleDescription(rate) + "Hz → 48kHz");
    *retuned = true;
    return 48000.0;
}

void DeviceCatalog::installDeviceListListener(std::function<void()> onChange) {
    if (deviceListListenerInstalled_) {
        return;
    }
    onListChange_ = std::move(onChange);
    hardware_.addDeviceListListener(tasks_.guard([this] { debouncedDeviceListRefresh(); }));
    deviceListListenerInstalled_ = true;
    Log::line("👂 Device list listener installed (UI-only)");
}

void DeviceCatalog::debouncedDeviceListRefresh() {
    cancelPendingRefresh();
    deviceListDebounceWorkItem_ = tasks_.postAfter(0.3, [this] {
        deviceListDebounceWorkItem_.reset();
        if (onListChange_) {
            onListChange_();
        }
        Log::line("🔄 Device list refreshed (UI)");
    });
}

void DeviceCatalog::cancelPendingRefresh() {
    if (deviceListDebounceWorkItem_) {
        deviceListDebounceWorkItem_->cancel();
    }
}

void DeviceCatalog::describe(EngineDiagnostics& diagnostics) const {
    diagnostics.isDeviceListWatched = deviceListListenerInstalled_;
    diagnostics.isDeviceListRefreshPending =
        deviceListDebounceWorkItem_ && !deviceListDebounceWorkItem_->isCancelled();
}

}  // namespace qv
