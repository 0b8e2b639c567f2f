#include <gtest/gtest.h>

#include <thread>

#include "tests/Support/LiveMixer.h"

namespace qv {
namespace {

// The main thread changes gain, pan, mute, solo and assignments while two buses render on the
// real-time driver and captures feed both kinds of channel: a 48 kHz stereo line input (ring
// buffers) and an application (players). Once the settings rest, each bus carries exactly
// what its channels send it.
TEST(ConcurrencyRouting, SettingsChangeWhileBusesRenderAndCaptureWrites) {
    VirtualSetup setup;
    VirtualDeviceSpec line;
    line.uid = "line";
    line.name = "Line In";
    line.input = VirtualInputSpec{2, Signal::sine(1000, -20)};
    setup.devices = {testing::virtualOutput("a"), testing::virtualOutput("b"), line};
    setup.apps = {{"org.example.A", "A", Signal::sine(3000, -20)}};
    testing::LiveMixer mixer(setup);
    auto& queue = mixer.queue;
    auto& engine = mixer.engine;
    engine->powerMode = PowerMode::alwaysOn;
    auto bus2 = engine->addOutputBus();
    engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);

    auto fast = engine->addInputChannel();
    engine->setInputSource(fast, engine->availableInputDevices.get()[0]);
    auto standard = engine->addInputChannel();
    engine->setInputSource(standard, engine->capturableApps.get()[0]);
    queue.runUntilIdle();
    ASSERT_TRUE(engine->diagnostics().channel(fast->id)->isLowLatency);
    ASSERT_TRUE(engine->diagnostics().channel(standard->id)->hasAppCapture);

    for (int step = 0; step < 300; ++step) {
        fast->gainEnabled = step % 2 == 0;
        fast->inputGain = static_cast<float>(step % 12 - 6);
        fast->panEnabled = step % 3 != 0;
        fast->pan = static_cast<float>(step % 21 - 10) / 10.0f;
        standard->isMuted = step % 4 == 0;
        standard->isSolo = step % 9 == 0;
        engine->updateSoloState();
        standard->busAssignments = step % 2 ? std::set<int>{1} : std::set<int>{1, 2};
        fast->busAssignments = step % 5 ? std::set<int>{1, 2} : std::set<int>{2};
        if (step % 50 == 25) {
            // Rebuild bus 2 while everything runs.
            engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);
        }
        queue.advance(0.002);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    ASSERT_TRUE(engine->isRunning.get());

    // At rest: the line input on both buses at unity, the application on bus 1 only.
    fast->gainEnabled = false;
    fast->panEnabled = false;
    fast->busAssignments = std::set<int>{1, 2};
    standard->isMuted = false;
    standard->isSolo = false;
    standard->busAssignments = std::set<int>{1};
    mixer.run(0.2);
    const auto a = mixer.listen("a", 0.5);
    const auto b = mixer.listen("b", 0.5);
    EXPECT_GT(testing::toneBlocks(a, 1000, -20), 0.8);
    EXPECT_GT(testing::toneBlocks(a, 3000, -20), 0.8);
    EXPECT_GT(testing::toneBlocks(b, 1000, -20), 0.8);
    EXPECT_LT(testing::toDb(testing::toneAmplitude(b, 3000, 48000, 0, b.size())), -60.0);
    EXPECT_EQ(engine->diagnostics().droppedMeterValues, 0u);
}

}  // namespace
}  // namespace qv
