#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "Audio/Platform/Virtual/VirtualDriver.h"
#include "EngineFixture.h"
#include "Foundation/RealtimeScope.h"
#include "tests/Support/RealtimeAllocations.h"

namespace qv {
namespace {

using testing::EngineTest;

// Two buses render 10 000 cycles each while the main thread keeps changing routing, solo,
// mute, pan and gain; a low-latency microphone, a 44.1 kHz mono microphone on the standard
// path and an application feed their channels, and the meters run. Neither the renders nor the
// captures allocate or free.
TEST_F(EngineTest, RenderAndCaptureCyclesNeitherAllocateNorFree) {
    VirtualSetup setup = testing::standardSetup();
    VirtualDeviceSpec line;
    line.uid = "line";
    line.name = "Line In";
    line.input = VirtualInputSpec{2, Signal::noise(-20, 4)};
    setup.devices.push_back(line);
    VirtualDeviceSpec mono;
    mono.uid = "mono";
    mono.name = "Mono Mic";
    mono.sampleRate = 44100;
    mono.input = VirtualInputSpec{1, Signal::sine(700, -20)};
    setup.devices.push_back(mono);
    setup.apps = {{"org.example.Player", "Player", Signal::sine(1000, -12)}};
    start(setup);
    engine->powerMode = PowerMode::alwaysOn;
    auto bus2 = engine->addOutputBus();
    engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);

    auto fast = engine->addInputChannel();
    engine->setInputSource(fast, engine->availableInputDevices.get()[1]);
    ASSERT_TRUE(channelState(*fast).isLowLatency);
    auto converted = engine->addInputChannel();
    converted->busAssignments = std::set<int>{1, 2};
    engine->setInputSource(converted, engine->availableInputDevices.get()[2]);
    ASSERT_TRUE(channelState(*converted).hasConverter);
    auto standard = engine->addInputChannel();
    standard->busAssignments = std::set<int>{1, 2};
    engine->setInputSource(standard, engine->capturableApps.get()[0]);
    queue.runUntilIdle();
    ASSERT_TRUE(channelState(*standard).hasAppCapture);

    int step = 0;
    auto changer = queue.scheduleRepeating(0.05, [&] {
        ++step;
        fast->isSolo = step % 7 == 0;
        engine->updateSoloState();
        standard->isMuted = step % 5 == 0;
        fast->panEnabled = true;
        fast->pan = static_cast<float>(step % 21 - 10) / 10.0f;
        standard->gainEnabled = step % 2 == 0;
        standard->inputGain = static_cast<float>(step % 13 - 6);
        fast->busAssignments = step % 3 == 0 ? std::set<int>{1} : std::set<int>{1, 2};
        bus2->faderLevel = -static_cast<float>(step % 10);
        engine->updateBusFader(bus2);
    });

    testing::RealtimeAllocations::reset();
    VirtualTimeDriver(*hardware, queue).run(10000 * 128 / 48000.0);
    changer.cancel();
    EXPECT_EQ(testing::RealtimeAllocations::allocations.load(), 0);
    EXPECT_EQ(testing::RealtimeAllocations::releases.load(), 0);
    EXPECT_GT(step, 500);
    EXPECT_EQ(engine->diagnostics().droppedMeterValues, 0u);
    EXPECT_GT(engine->outputBusses.get()[0]->peakLevel.get(), -20.0f);
    EXPECT_GT(bus2->peakLevel.get(), -20.0f);
}

}  // namespace
}  // namespace qv
