#include <gtest/gtest.h>

#include <thread>

#include "Audio/MultiOutputEngine.h"
#include "Audio/Platform/Virtual/VirtualAudioHardware.h"
#include "Audio/Platform/Virtual/VirtualCaptureService.h"
#include "Audio/Platform/Virtual/VirtualDriver.h"
#include "Foundation/Log.h"
#include "Foundation/SettingsStore.h"
#include "Foundation/VirtualMainQueue.h"

namespace qv {
namespace {

VirtualDeviceSpec output(std::string uid, std::string name) {
    VirtualDeviceSpec spec;
    spec.uid = std::move(uid);
    spec.name = std::move(name);
    spec.output = VirtualOutputSpec{2};
    return spec;
}

// The engine rebuilds buses and channels on the main thread while the real-time driver pulls
// every bus graph on its own thread.
TEST(ConcurrencyEngine, RebuildingBusesAndChannelsWhileDevicesRender) {
    LogCapture quiet;
    VirtualSetup setup;
    setup.devices.push_back(output("speakers", "Speakers"));
    setup.devices.push_back(output("headphones", "Headphones"));
    VirtualMainQueue queue;
    MemorySettingsStore settings;
    VirtualAudioHardware hardware(queue, setup);
    VirtualCaptureService capture(queue, setup, hardware);
    RealTimeDriver driver(hardware);
    driver.start();

    auto engine = MultiOutputEngine::create({queue, settings, hardware, capture});
    queue.runUntilIdle();
    ASSERT_TRUE(engine->isRunning.get());
    auto bus2 = engine->addOutputBus();
    int round = 0;
    for (; round < 40; ++round) {
        auto channel = engine->addInputChannel();
        engine->assignDevice(engine->availableOutputDevices.get()[round % 2], bus2);
        engine->outputBusses.get()[0]->faderLevel = static_cast<float>(-(round % 12));
        engine->updateBusFader(engine->outputBusses.get()[0]);
        if (engine->inputChannels.get().size() > 3) {
            engine->removeInputChannel(engine->inputChannels.get().front());
        }
        if (round % 10 == 0) {
            engine->stop();
            engine->start();
        }
        queue.advance(0.005);
    }
    engine->refreshAll();
    queue.advance(1.0);
    EXPECT_TRUE(engine->isRunning.get());
    EXPECT_TRUE(bus2->outputEngine && bus2->outputEngine->isRunning());
    EXPECT_EQ(engine->inputChannels.get().size(), 3u);
    engine.reset();
    driver.stop();
}

}  // namespace
}  // namespace qv
