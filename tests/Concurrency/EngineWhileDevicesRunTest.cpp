#include <gtest/gtest.h>

#include <thread>

#include "tests/Support/LiveMixer.h"

namespace qv {
namespace {

// The engine rebuilds buses and channels on the main thread while the real-time driver pulls
// every bus graph on its own thread; afterwards the surviving channel plays on both buses.
TEST(ConcurrencyEngine, RebuildingBusesAndChannelsWhileDevicesRender) {
    VirtualSetup setup;
    setup.devices = {testing::virtualOutput("speakers"), testing::virtualOutput("headphones")};
    setup.apps = {{"org.example.A", "A", Signal::sine(1000, -20)}};
    testing::LiveMixer mixer(setup);
    auto& queue = mixer.queue;
    auto& engine = mixer.engine;
    ASSERT_TRUE(engine->isRunning.get());
    engine->powerMode = PowerMode::alwaysOn;
    auto bus2 = engine->addOutputBus();
    int round = 0;
    for (; round < 40; ++round) {
        auto channel = engine->addInputChannel();
        channel->busAssignments = std::set<int>{1, bus2->id};
        if (round % 3 == 0) {
            engine->setInputSource(channel, engine->capturableApps.get()[0]);
        }
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
    ASSERT_TRUE(engine->isRunning.get());
    EXPECT_EQ(engine->inputChannels.get().size(), 3u);

    // One channel with the application on both buses, bus 2 on the headphones.
    for (std::size_t i = 1; i < 3; ++i) {
        engine->clearInputSource(engine->inputChannels.get()[i]);
    }
    auto channel = engine->inputChannels.get()[0];
    engine->setInputSource(channel, engine->capturableApps.get()[0]);
    engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);
    engine->outputBusses.get()[0]->faderLevel = 0.0f;
    engine->updateBusFader(engine->outputBusses.get()[0]);
    queue.runUntilIdle();
    const auto diagnostics = engine->diagnostics();
    EXPECT_TRUE(diagnostics.bus(1) && diagnostics.bus(1)->isRunning);
    EXPECT_TRUE(diagnostics.bus(bus2->id) && diagnostics.bus(bus2->id)->isRunning);
    mixer.run(0.2);
    EXPECT_GT(testing::toneBlocks(mixer.listen("speakers", 0.5), 1000, -20), 0.8);
    EXPECT_GT(testing::toneBlocks(mixer.listen("headphones", 0.5), 1000, -20), 0.8);
}

}  // namespace
}  // namespace qv
