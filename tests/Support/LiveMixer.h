#pragma once

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Audio/MultiOutputEngine.h"
#include "Audio/Platform/Virtual/VirtualAudioHardware.h"
#include "Audio/Platform/Virtual/VirtualCaptureService.h"
#include "Audio/Platform/Virtual/VirtualDriver.h"
#include "Foundation/Log.h"
#include "Foundation/SettingsStore.h"
#include "Foundation/VirtualMainQueue.h"
#include "tests/Support/SignalAnalysis.h"

namespace qv::testing {

// A stereo output device named after its uid.
inline VirtualDeviceSpec virtualOutput(std::string uid) {
    VirtualDeviceSpec spec;
    spec.uid = uid;
    spec.name = std::move(uid);
    spec.output = VirtualOutputSpec{2};
    return spec;
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

    // Lets the mixer run for `seconds` of real time, moving the main queue along.
    void run(double seconds) {
        const auto end = std::chrono::steady_clock::now() +
                         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(seconds));
        while (std::chrono::steady_clock::now() < end) {
            queue.advance(0.005);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // Records what every device plays for `seconds` of real time and returns the left channel
    // of `uid`, at the device's rate. The driver pauses while the recording is set up and read.
    std::vector<float> listen(const std::string& uid, double seconds) {
        driver.stop();
        hardware.enableRecording(seconds + 0.5);
        driver.start();
        run(seconds);
        driver.stop();
        const DeviceID id = *hardware.deviceForUID(uid);
        auto left = hardware.recording(id)[0];
        left.resize(static_cast<std::size_t>(seconds * hardware.nominalSampleRate(id).value_or(0)));
        driver.start();
        return left;
    }

    LogCapture quiet;
    VirtualMainQueue queue;
    MemorySettingsStore settings;
    VirtualAudioHardware hardware;
    VirtualCaptureService capture;
    RealTimeDriver driver;
    std::shared_ptr<MultiOutputEngine> engine;
};

// The share of 10 ms blocks of x (at `rate`) in which a tone of `frequency` has `levelDb`
// (peak, dBFS) within ±1 dB. A busy machine may make the real-time driver skip now and then;
// a lost channel or a wrong gain fails every block.
inline double toneBlocks(const std::vector<float>& x, double frequency, double levelDb,
                         double rate = 48000) {
    int good = 0;
    int blocks = 0;
    const auto length = static_cast<std::size_t>(rate / 100);
    for (std::size_t b = 0; b + length <= x.size(); b += length, ++blocks) {
        const double level = toDb(toneAmplitude(x, frequency, rate, b, b + length));
        good += std::fabs(level - levelDb) <= 1.0 ? 1 : 0;
    }
    return blocks ? static_cast<double>(good) / blocks : 0.0;
}

}  // namespace qv::testing
