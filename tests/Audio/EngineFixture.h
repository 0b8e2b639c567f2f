#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Audio/MultiOutputEngine.h"
#include "Audio/Platform/Virtual/VirtualAudioHardware.h"
#include "Audio/Platform/Virtual/VirtualCaptureService.h"
#include "Audio/Platform/Virtual/VirtualDriver.h"
#include "Foundation/Log.h"
#include "Foundation/SettingsStore.h"
#include "Foundation/VirtualMainQueue.h"

namespace qv::testing {

inline VirtualDeviceSpec outputDevice(std::string uid, std::string name,
                                      Transport transport = Transport::builtIn,
                                      double rate = 48000.0) {
    VirtualDeviceSpec spec;
    spec.uid = std::move(uid);
    spec.name = std::move(name);
    spec.transport = transport;
    spec.sampleRate = rate;
    spec.output = VirtualOutputSpec{2};
    return spec;
}

inline VirtualDeviceSpec inputDevice(std::string uid, std::string name, std::uint32_t channels = 1,
                                     double rate = 44100.0, std::vector<RateRange> rates = {}) {
    VirtualDeviceSpec spec;
    spec.uid = std::move(uid);
    spec.name = std::move(name);
    spec.transport = Transport::usb;
    spec.sampleRate = rate;
    spec.availableRates = std::move(rates);
    spec.input = VirtualInputSpec{channels, Signal::silence()};
    return spec;
}

// The devices most tests use: speakers and headphones out, one USB microphone in.
inline VirtualSetup standardSetup() {
    VirtualSetup setup;
    setup.devices.push_back(
        inputDevice("usb-mic", "USB Mic", 1, 44100.0, {{44100.0, 44100.0}, {48000.0, 48000.0}}));
    setup.devices.push_back(outputDevice("speakers", "Speakers"));
    setup.devices.push_back(outputDevice("headphones", "Headphones", Transport::usb));
    setup.apps.push_back({"org.example.Player", "Player", Signal::silence()});
    return setup;
}

// An engine on virtual devices and the virtual main queue; the log is captured.
class EngineTest : public ::testing::Test {
  protected:
    void build(const VirtualSetup& setup = standardSetup()) {
        hardware = std::make_unique<VirtualAudioHardware>(queue, setup);
        capture = std::make_unique<VirtualCaptureService>(queue, setup, *hardware);
        engine = MultiOutputEngine::create({queue, settings, *hardware, *capture});
    }
    // Builds and runs the start-up task to completion.
    void start(const VirtualSetup& setup = standardSetup()) {
        build(setup);
        queue.runUntilIdle();
    }
    DeviceID idOf(const std::string& uid) { return *hardware->deviceForUID(uid); }
    // What the engine runs now for one bus or channel (an empty record when it runs nothing).
    BusDiagnostics busState(int busId) const {
        const auto d = engine->diagnostics();
        const BusDiagnostics* bus = d.bus(busId);
        BusDiagnostics none;
        none.busId = busId;
        return bus ? *bus : none;
    }
    ChannelDiagnostics channelState(const InputChannel& channel) const {
        const auto d = engine->diagnostics();
        const ChannelDiagnostics* c = d.channel(channel.id);
        ChannelDiagnostics none;
        none.channelId = channel.id;
        return c ? *c : none;
    }
    // Renders `seconds` of audio on every device and returns what `uid` played (planar).
    std::vector<std::vector<float>> render(const std::string& uid, Seconds seconds) {
        hardware->enableRecording(seconds);
        VirtualTimeDriver(*hardware, queue).run(seconds);
        return hardware->recording(idOf(uid));
    }

    void TearDown() override {
        engine.reset();
        capture.reset();
        hardware.reset();
    }

    LogCapture log;
    VirtualMainQueue queue;
    MemorySettingsStore settings;
    std::unique_ptr<VirtualAudioHardware> hardware;
    std::unique_ptr<VirtualCaptureService> capture;
    std::shared_ptr<MultiOutputEngine> engine;
};

}  // namespace qv::testing
