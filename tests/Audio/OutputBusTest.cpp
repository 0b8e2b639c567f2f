#include <gtest/gtest.h>

#include <cmath>

#include "EngineFixture.h"

namespace qv {
namespace {

using testing::EngineTest;
using testing::outputDevice;

std::vector<int> busIds(const MultiOutputEngine& engine) {
    std::vector<int> ids;
    for (const auto& bus : engine.outputBusses.get())
        ids.push_back(bus->id);
    return ids;
}

TEST_F(EngineTest, BusesAreLimitedToFourAndIdsAreNeverReused) {
    start();
    EXPECT_EQ(engine->addOutputBus()->name.get(), "Bus 2");
    auto bus3 = engine->addOutputBus();
    EXPECT_TRUE(log.contains("➕ Added output bus: Bus 3"));
    engine->removeOutputBus(bus3);
    EXPECT_TRUE(log.contains("➖ Removed output bus: Bus 3"));
    EXPECT_EQ(engine->addOutputBus()->name.get(), "Bus 4");
    EXPECT_EQ(engine->addOutputBus()->name.get(), "Bus 5");
    log.clear();
    EXPECT_EQ(engine->addOutputBus(), nullptr);
    EXPECT_EQ(engine->nextBusId, 6);
    EXPECT_EQ(busIds(*engine), (std::vector<int>{1, 2, 4, 5}));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(EngineTest, TheLastBusCannotBeRemoved) {
    start();
    log.clear();
    engine->removeOutputBus(engine->outputBusses.get()[0]);
    EXPECT_EQ(busIds(*engine), (std::vector<int>{1}));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(EngineTest, RemovingABusDropsItFromAssignmentsAndReleasesItsNodes) {
    start();
    auto bus2 = engine->addOutputBus();
    engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);
    auto channel = engine->addInputChannel();
    channel->busAssignments = std::set<int>{1, 2};
    ASSERT_EQ(channel->busPlayerNodes.count(2), 1u);
    auto graph = bus2->outputEngine;
    auto player = channel->busPlayerNodes.at(2);
    engine->removeOutputBus(bus2);
    EXPECT_EQ(channel->busAssignments.get(), std::set<int>{1});
    EXPECT_EQ(channel->busPlayerNodes.count(2), 0u);
    EXPECT_EQ(channel->busEQNodes.count(2), 0u);
    EXPECT_FALSE(graph->isAttached(player.get()));
    EXPECT_FALSE(graph->isRunning());
    EXPECT_EQ(bus2->outputEngine, nullptr);
    EXPECT_EQ(engine->busConfigObservers.count(2), 0u);
}

TEST_F(EngineTest, AssignAndUnassignBuildAndDropTheBusGraph) {
    start();
    auto channel = engine->addInputChannel();
    auto bus2 = engine->addOutputBus();
    EXPECT_EQ(bus2->outputEngine, nullptr);
    bus2->faderLevel = -6.0f;
    engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);
    EXPECT_TRUE(log.contains("✅ Bus 2 → Headphones"));
    ASSERT_TRUE(bus2->outputEngine);
    EXPECT_TRUE(bus2->outputEngine->isRunning());
    EXPECT_NEAR(bus2->mixerNode->outputVolume(), 0.501, 0.001);
    EXPECT_TRUE(channel->busPlayerNodes.at(2)->isPlaying());
    EXPECT_EQ(engine->busConfigObservers.count(2), 1u);

    engine->unassignDevice(bus2);
    EXPECT_TRUE(log.contains("🚫 Unassigned device from Bus 2"));
    EXPECT_FALSE(bus2->outputDevice.get().has_value());
    EXPECT_EQ(bus2->outputEngine, nullptr);
    EXPECT_EQ(bus2->mixerNode, nullptr);
    EXPECT_EQ(bus2->eqNode, nullptr);
    EXPECT_EQ(bus2->delayNode, nullptr);
    EXPECT_EQ(channel->busPlayerNodes.count(2), 0u);
    EXPECT_EQ(engine->busConfigObservers.count(2), 0u);
}

TEST_F(EngineTest, FaderMuteAndDelayReachTheBusNodes) {
    start();
    auto bus = engine->outputBusses.get()[0];
    struct Case {
        float fader;
        bool muted;
        float volume;
    };
    for (const Case& c : {Case{-6, false, 0.50119f}, Case{-6, true, 0.0f}, Case{0, false, 1.0f},
                          Case{6, false, 1.99526f}}) {
        bus->faderLevel = c.fader;
        bus->isMuted = c.muted;
        engine->updateBusMute(bus);
        EXPECT_NEAR(bus->mixerNode->outputVolume(), c.volume, 1e-4);
    }

    EXPECT_TRUE(bus->delayNode->bypass());
    EXPECT_EQ(bus->delayNode->wetDryMix(), 0.0f);
    bus->delayMs = 2500.0f;
    engine->updateBusDelay(bus);
    EXPECT_EQ(bus->delayNode->delayTime(), 2.0);
    EXPECT_FALSE(bus->delayNode->bypass());
    EXPECT_EQ(bus->delayNode->wetDryMix(), 100.0f);
    EXPECT_EQ(bus->delayNode->feedback(), 0.0f);
    bus->delayMs = 120.0f;
    engine->updateBusDelay(bus);
    EXPECT_NEAR(bus->delayNode->delayTime(), 0.12, 1e-9);

    // Without a graph the values wait for the next build.
    auto unbound = engine->addOutputBus();
    unbound->faderLevel = -12.0f;
    engine->updateBusFader(unbound);
    unbound->delayMs = 50.0f;
    engine->updateBusDelay(unbound);
    engine->assignDevice(engine->availableOutputDevices.get()[1], unbound);
    EXPECT_NEAR(unbound->mixerNode->outputVolume(), 0.2512, 1e-4);
    EXPECT_NEAR(unbound->delayNode->delayTime(), 0.05, 1e-9);
}

TEST_F(EngineTest, ConfigurationChangesAreDebouncedIntoOneRecovery) {
    start();
    auto bus = engine->outputBusses.get()[0];
    const auto speakers = idOf("speakers");
    hardware->breakStreams(speakers);
    queue.advance(0.1);
    hardware->breakStreams(speakers);
    EXPECT_EQ(log.count("⚠️ Bus 1 engine config changed"), 2);
    const double second = queue.now();
    queue.advanceTo(second + 0.149);
    EXPECT_FALSE(log.contains("🔧 Recovering Bus 1 (Speakers)..."));
    queue.advanceTo(second + 0.15);
    EXPECT_EQ(log.count("🔧 Recovering Bus 1 (Speakers)..."), 1);
    EXPECT_TRUE(log.contains("✅ Bus 1 recovered → Speakers"));
    EXPECT_TRUE(bus->outputEngine->isRunning());
    queue.advance(1.0);
    EXPECT_EQ(log.count("🔧 Recovering Bus 1 (Speakers)..."), 1);
}

TEST_F(EngineTest, AChangeOnARunningLiveBusNeedsNoRecovery) {
    start();
    auto bus = engine->outputBusses.get()[0];
    auto graph = bus->outputEngine;
    graph->postConfigurationChange();
    queue.advance(0.2);
    EXPECT_TRUE(log.contains("✅ Bus 1 engine still running, no recovery needed"));
    EXPECT_EQ(bus->outputEngine, graph);
}

TEST_F(EngineTest, RecoveryFollowsTheDeviceToItsNewIdOrReportsItLost) {
    start();
    auto bus1 = engine->outputBusses.get()[0];
    auto bus2 = engine->addOutputBus();
    engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);
    const auto oldSpeakers = idOf("speakers");

    // The speakers come back under a new id and are found again by their uid.
    hardware->removeDevice(oldSpeakers);
    hardware->addDevice(outputDevice("speakers", "Speakers"));
    hardware->removeDevice(idOf("headphones"));
    queue.advance(0.2);
    EXPECT_TRUE(log.contains("✅ Bus 1 recovered → Speakers"));
    EXPECT_EQ(bus1->outputDevice.get()->id, idOf("speakers"));
    EXPECT_NE(bus1->outputDevice.get()->id, oldSpeakers);
    EXPECT_TRUE(bus1->outputEngine->isRunning());
    EXPECT_TRUE(log.contains("⚠️ Bus 2 device lost: Headphones"));
    EXPECT_FALSE(bus2->outputDevice.get().has_value());
    EXPECT_EQ(bus2->outputEngine, nullptr);
    // The engine's own list is left to the device-list refresh.
}

TEST_F(EngineTest, ARateChangeOfTheBusDeviceRebuildsItsGraph) {
    VirtualSetup setup = testing::standardSetup();
    setup.devices[1].availableRates = {{44100, 48000}};
    start(setup);
    auto bus = engine->outputBusses.get()[0];
    auto graph = bus->outputEngine;
    ASSERT_EQ(hardware->setNominalSampleRate(idOf("speakers"), 44100), AudioResult{});
    queue.advance(0.2);
    EXPECT_TRUE(log.contains("✅ Bus 1 recovered → Speakers"));
    EXPECT_NE(bus->outputEngine, graph);
    EXPECT_EQ(bus->outputDevice.get()->sampleRate, 44100.0);
    EXPECT_TRUE(bus->outputEngine->isRunning());
}

TEST_F(EngineTest, ConfigurationChangesDuringSleepAreIgnored) {
    start();
    auto bus = engine->outputBusses.get()[0];
    engine->prepareForSleep();
    engine->debouncedBusRecovery(bus);
    EXPECT_TRUE(log.contains("💤 Ignoring Bus 1 config change during sleep"));
    EXPECT_TRUE(engine->busRecoveryWorkItems.empty());
}

TEST_F(EngineTest, AssigningADeviceWhileIdleSuspendedResumesFirst) {
    start();
    engine->suspendForIdle();
    ASSERT_TRUE(engine->isIdleSuspended.get());
    auto bus2 = engine->addOutputBus();
    engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);
    EXPECT_FALSE(engine->isIdleSuspended.get());
    EXPECT_TRUE(log.contains("⏰ Resuming from idle suspend..."));
}

}  // namespace
}  // namespace qv
