#pragma once

#include <cstdint>

namespace qv {

// A device while the program runs. The device layer hands ids out and never gives a gone
// device's id to another one.
using DeviceID = std::uint32_t;
inline constexpr DeviceID kNoDevice = 0;

// How a device is connected. The devices file names these with four-character codes.
enum class Transport {
    builtIn,
    usb,
    bluetooth,
    bluetoothLowEnergy,
    hdmi,
    displayPort,
    thunderbolt,
    fireWire,
    virtualDevice,
    aggregate,
    other,
};

}  // namespace qv
