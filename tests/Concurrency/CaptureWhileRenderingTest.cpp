#include <gtest/gtest.h>

#include <thread>

#include "tests/Support/LiveMixer.h"

namespace qv {
namespace {

VirtualDeviceSpec device(std::string uid, double rate, std::uint32_t in, std::uint32_t out) {
    VirtualDeviceSpec spec;
    spec.uid = uid;
    spec.name = uid;
    spec.sampleRate = rate;
    if (in)
        spec.input = VirtualInputSpec{in, Signal::sine(440, -12)};
    if (out)
        spec.output = VirtualOutputSpec{out};
    return spec;
}

// Sources change on the main thread while the real-time driver runs the microphone taps, an
// application stream and two bus renders.
TEST(ConcurrencyCapture, SourcesChangeWhileCapturesAndBusesRun) {
    VirtualSetup setup;
    setup.devices = {device("speakers", 48000, 0, 2), device("phones", 44100, 0, 2),
                     device("mic48", 48000, 2, 0), device("mic44", 44100, 1, 0)};
    setup.apps = {{"org.example.A", "A", Signal::noise(-20, 1)}};
    testing::LiveMixer mixer(setup);
    auto& queue = mixer.queue;
    auto& engine = mixer.engine;
    engine->assignDevice(engine->availableOutputDevices.get()[1], engine->addOutputBus());
    auto first = engine->addInputChannel();
    auto second = engine->addInputChannel();
    first->busAssignments = std::set<int>{1, 2};
    const auto inputs = engine->availableInputDevices.get();

    for (int step = 0; step < 60; ++step) {
        switch (step % 4) {
            case 0:
                engine->setInputSource(first, inputs[0]);   // low latency
                engine->setInputSource(second, inputs[1]);  // standard
                break;
            case 1:
                engine->setInputSource(first, engine->capturableApps.get()[0]);
                break;
            case 2:
                engine->setInputSourceSystemAudio(second);
                first->isMuted = !first->isMuted.get();
                break;
            case 3:
                engine->clearInputSource(first);
                second->pan = static_cast<float>(step % 7) / 7.0f;
                second->panEnabled = true;
                break;
        }
        queue.advance(0.01);
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    queue.advance(0.1);
    EXPECT_TRUE(engine->isRunning.get());
}

}  // namespace
}  // namespace qv
