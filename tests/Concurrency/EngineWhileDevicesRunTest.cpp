#include <gtest/gtest.h>

#include <thread>

#include "tests/Support/LiveMixer.h"

namespace qv {
namespace {

// The engine rebuilds buses and channels on the main thread while the real-time driver pulls
// every bus graph on its own thread.
TEST(ConcurrencyEngine, RebuildingBusesAndChannelsWhileDevicesRender) {
    VirtualSetup setup;
    setup.devices = {testing::virtualOutput("speakers"), testing::virtualOutput("headphones")};
    testing::LiveMixer mixer(setup);
    auto& queue = mixer.queue;
    auto& engine = mixer.engine;
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
}

}  // namespace
}  // namespace qv
