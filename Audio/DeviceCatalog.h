#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Audio/MixerTypes.h"
#include "Audio/Platform/AudioHardware.h"
#include "Foundation/TaskScope.h"

namespace qv {

struct EngineDiagnostics;

// The machine's devices as the mixer lists them, read through the device layer: a failed read
// on one device never stops the scan of the others. Also the 48 kHz switch of microphones and
// the watch on the device list. Main thread.
class DeviceCatalog {
  public:
    DeviceCatalog(AudioHardware& hardware, MainQueue& queue);

    // Devices with channels in that direction, in the device layer's order; a device named
    // like the system's hidden aggregate devices is left out.
    std::vector<AudioOutputDevice> getOutputDevices() const;
    std::vector<AudioInputDevice> getInputDevices() const;
    // "" when the read fails.
    std::string getDeviceUID(DeviceID device) const;
    // "Unknown Device" when the read fails.
    std::string getDeviceName(DeviceID device) const;
    // "Built-in", "USB", …; "Other" when the read fails.
    std::string getDeviceTransportType(DeviceID device) const;

    // Switches a microphone to 48 kHz where it can run there. Returns the rate it has
    // afterwards, Hz; `retuned` tells whether it changed (the device lists are then stale).
    double setDeviceTo48kHz(DeviceID device, bool* retuned);

    // Watches the device list: `onChange` runs 0.3 s after the last of a burst of changes, then
    // "🔄 Device list refreshed (UI)" is logged. Installed once; it stays for the catalog's life.
    void installDeviceListListener(std::function<void()> onChange);
    // Drops a refresh that is still waiting.
    void cancelPendingRefresh();

    void describe(EngineDiagnostics& diagnostics) const;

  private:
    void debouncedDeviceListRefresh();

    AudioHardware& hardware_;
    TaskScope tasks_;
    bool deviceListListenerInstalled_ = false;
    std::function<void()> onListChange_;
    std::optional<TaskHandle> deviceListDebounceWorkItem_;
};

}  // namespace qv
