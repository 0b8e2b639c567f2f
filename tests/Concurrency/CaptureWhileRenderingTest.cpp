#include <gtest/gtest.h>

#include <thread>

#include "tests/Support/LiveMixer.h"

namespace qv {
namespace {

VirtualDeviceSpec device(std::string uid, double rate, std::uint32_t in, std::uint32_t out,
                         double tone) {
    VirtualDeviceSpec spec;
    spec.uid = uid;
    spec.name = uid;
    spec.sampleRate = rate;
    if (in)
        spec.input = VirtualInputSpec{in, Signal::sine(tone, -12)};
    if (out)
        spec.output = VirtualOutputSpec{out};
    return spec;
}

// Sources change on the main thread while the real-time driver runs the microphone taps, an
// application stream and two bus renders. Afterwards every source plays where it is routed.
TEST(ConcurrencyCapture, SourcesChangeWhileCapturesAndBusesRun) {
    VirtualSetup setup;
    setup.devices = {device("speakers", 48000, 0, 2, 0), device("phones", 44100, 0, 2, 0),
                     device("mic48", 48000, 2, 0, 400), device("mic44", 44100, 1, 0, 700)};
    setup.apps = {{"org.example.A", "A", Signal::sine(2500, -20)}};
    testing::LiveMixer mixer(setup);
    auto& queue = mixer.queue;
    auto& engine = mixer.engine;
    engine->powerMode = PowerMode::alwaysOn;
    engine->assignDevice(engine->availableOutputDevices.get()[1], engine->addOutputBus());
    auto first = engine->addInputChannel();
    auto second = engine->addInputChannel();
    auto third = engine->addInputChannel();
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
    ASSERT_TRUE(engine->isRunning.get());

    // At rest: the 48 kHz microphone on both buses, the 44.1 kHz one and the application on
    // bus 1 only.
    first->isMuted = false;
    second->panEnabled = false;
    engine->setInputSource(first, inputs[0]);
    engine->setInputSource(second, inputs[1]);
    engine->setInputSource(third, engine->capturableApps.get()[0]);
    queue.runUntilIdle();
    // Every hand-over primes and settles first (longer under ThreadSanitizer's slow threads).
    mixer.run(1.0);
    // A tone plays steadily in one of three half seconds: a real-time thread starved by a
    // sanitizer may run dry once, and the hand-over then primes again.
    const auto playsSteadily = [&](const char* uid, double frequency, double levelDb, double rate) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (testing::toneBlocks(mixer.listen(uid, 0.5), frequency, levelDb, rate) > 0.8) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(playsSteadily("speakers", 400, -12, 48000));
    EXPECT_TRUE(playsSteadily("speakers", 700, -12, 48000));
    EXPECT_TRUE(playsSteadily("speakers", 2500, -20, 48000));
    EXPECT_TRUE(playsSteadily("phones", 400, -12, 44100));  // recorded at the device's rate
    const auto phones = mixer.listen("phones", 0.5);
    EXPECT_LT(testing::toDb(testing::toneAmplitude(phones, 2500, 44100, 0, phones.size())), -60.0);
}

}  // namespace
}  // namespace qv
