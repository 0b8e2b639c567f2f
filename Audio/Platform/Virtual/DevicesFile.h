#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Audio/Platform/AudioHardware.h"
#include "Audio/Platform/Virtual/Signal.h"

namespace qv {

// The input side of a virtual device: what its microphone hears.
struct VirtualInputSpec {
    std::uint32_t channels = 2;
    Signal signal;
};

// The output side of a virtual device.
struct VirtualOutputSpec {
    std::uint32_t channels = 2;
};

// One virtual device. It has an input, an output, or both.
struct VirtualDeviceSpec {
    std::string uid;
    std::string name;
    Transport transport = Transport::virtualDevice;
    double sampleRate = 48000.0;
    // How far the device's clock is off, parts per million (positive: fast). Its periods come
    // every frames / (rate × (1 + clockPpm / 1e6)) seconds of virtual time; its signals are
    // made in its own samples.
    double clockPpm = 0.0;
    // Empty stands for the single range [sampleRate, sampleRate].
    std::vector<RateRange> availableRates;
    std::optional<VirtualInputSpec> input;
    std::optional<VirtualOutputSpec> output;
};

// A running application offered for capture.
struct VirtualAppSpec {
    std::string bundleId;
    std::string name;
    Signal signal;
};

// Everything a devices file describes.
struct VirtualSetup {
    std::vector<VirtualDeviceSpec> devices;
    std::vector<VirtualAppSpec> apps;
    bool screenCapturePermission = true;
};

// Reads a devices file. WAV paths resolve against the file's folder. On failure returns nothing
// and sets `error` to "<path>: <problem>", naming the key and the device or application at fault.
std::optional<VirtualSetup> loadDevicesFile(const std::string& path, std::string* error);

// Parses the text of a devices file; relative WAV paths resolve against `baseDir`.
std::optional<VirtualSetup> parseDevicesJson(const std::string& text, const std::string& baseDir,
                                             std::string* error);

// A devices file's four-character transport code ("usb ", "bltn", ...); a code of another
// length gives nothing, an unknown one Transport::other.
std::optional<Transport> transportFromCode(const std::string& code);

// The devices the program runs on when no sound server can be reached: speakers, headphones,
// the "Quorvanta System" loopback device, a test-tone input and one demo application.
VirtualSetup builtinVirtualSetup();

}  // namespace qv
