#pragma once

#include <memory>
#include <string>

#include "Audio/MultiOutputEngine.h"
#include "Audio/Platform/Virtual/VirtualAudioHardware.h"
#include "Audio/Platform/Virtual/VirtualCaptureService.h"
#include "Audio/Platform/Virtual/VirtualDriver.h"
#include "Foundation/Log.h"
#include "Foundation/SettingsStore.h"
#include "Foundation/VirtualMainQueue.h"

namespace qv::testing {

// A stereo output device named after its uid.
inline VirtualDeviceSpec virtualOutput(std::string uid) {
    VirtualDeviceSpec spec;
    spec.uid = uid;
    spec.name = std::move(uid);
    spec.output = VirtualOutputSpec{2};
    return spec;
}

// Moves a channel onto source chains on every bus, as the low-latency microphone path does.
inline void useSourceChains(MultiOutputEngine& engine,
                            const std::shared_ptr<InputChannel>& channel) {
    engine.teardownChannelAudio(channel);
    channel->useLowLatencyPath = true;
    for (const auto& bus : engine.outputBusses.get()) {
        engine.setupChannelSourceInBus(channel, bus);
    }
}

// An engine on virtual devices that the real-time driver runs on its own thread; the test's
// thread is the main thread and moves the virtual main queue. The log is kept quiet.
struct LiveMixer {
    explicit LiveMixer(const VirtualSetup& setup)
        : hardware(queue, setup), capture(queue, setup, hardware), driver(hardware) {
        driver.start();
        engine = MultiOutputEngine::create({queue, settings, hardware, capture});
        queue.runUntilIdle();
    }
    ~LiveMixer() {
        engine.reset();
        driver.stop();
    }

    LogCapture quiet;
    VirtualMainQueue queue;
    MemorySettingsStore settings;
    VirtualAudioHardware hardware;
    VirtualCaptureService capture;
    RealTimeDriver driver;
    std::shared_ptr<MultiOutputEngine> engine;
};

}  // namespace qv::testing
