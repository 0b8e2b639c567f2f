#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "EngineFixture.h"
#include "tests/Support/SignalAnalysis.h"

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
    EXPECT_EQ(engine->diagnostics().nextBusId, 6);
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
    ASSERT_TRUE(channelState(*channel).bus(2));
    // A recovery pending for the bus goes with it.
    hardware->breakStreams(idOf("headphones"));
    queue.runUntilIdle();
    ASSERT_TRUE(busState(2).isRecoveryPending);
    engine->removeOutputBus(bus2);
    EXPECT_EQ(channel->busAssignments.get(), std::set<int>{1});
    EXPECT_FALSE(channelState(*channel).bus(2));
    EXPECT_TRUE(channelState(*channel).bus(1));
    EXPECT_FALSE(busState(2).hasGraph);
    EXPECT_FALSE(busState(2).isWatched);
    EXPECT_FALSE(busState(2).isRecoveryPending);
    queue.advance(1.0);
    EXPECT_FALSE(log.contains("🔧 Recovering Bus 2 (Headphones)..."));
    EXPECT_FALSE(busState(2).hasGraph);
}

TEST_F(EngineTest, AssignAndUnassignBuildAndDropTheBusGraph) {
    start();
    auto channel = engine->addInputChannel();
    auto bus2 = engine->addOutputBus();
    EXPECT_FALSE(busState(2).hasGraph);
    bus2->faderLevel = -6.0f;
    engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);
    EXPECT_TRUE(log.contains("✅ Bus 2 → Headphones"));
    EXPECT_TRUE(busState(2).isRunning);
    EXPECT_EQ(busState(2).device, idOf("headphones"));
    EXPECT_NEAR(busState(2).mixerVolume, 0.501, 0.001);
    ASSERT_TRUE(channelState(*channel).bus(2));
    EXPECT_TRUE(channelState(*channel).bus(2)->eq.has_value());
    EXPECT_TRUE(busState(2).isWatched);

    engine->unassignDevice(bus2);
    EXPECT_TRUE(log.contains("🚫 Unassigned device from Bus 2"));
    EXPECT_FALSE(bus2->outputDevice.get().has_value());
    EXPECT_FALSE(busState(2).hasGraph);
    EXPECT_FALSE(channelState(*channel).bus(2));
    EXPECT_FALSE(busState(2).isWatched);
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
        EXPECT_NEAR(busState(1).mixerVolume, c.volume, 1e-4);
    }

    EXPECT_TRUE(busState(1).delayBypass);
    EXPECT_EQ(busState(1).delayWetDryMix, 0.0f);
    bus->delayMs = 2500.0f;
    engine->updateBusDelay(bus);
    EXPECT_EQ(busState(1).delaySeconds, 2.0);
    EXPECT_FALSE(busState(1).delayBypass);
    EXPECT_EQ(busState(1).delayWetDryMix, 100.0f);
    EXPECT_EQ(busState(1).delayFeedback, 0.0f);
    bus->delayMs = 120.0f;
    engine->updateBusDelay(bus);
    EXPECT_NEAR(busState(1).delaySeconds, 0.12, 1e-9);

    // Without a graph the values wait for the next build.
    auto unbound = engine->addOutputBus();
    unbound->faderLevel = -12.0f;
    engine->updateBusFader(unbound);
    unbound->delayMs = 50.0f;
    engine->updateBusDelay(unbound);
    engine->assignDevice(engine->availableOutputDevices.get()[1], unbound);
    EXPECT_NEAR(busState(unbound->id).mixerVolume, 0.2512, 1e-4);
    EXPECT_NEAR(busState(unbound->id).delaySeconds, 0.05, 1e-9);
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
    EXPECT_TRUE(busState(1).isRunning);
    EXPECT_EQ(bus->outputDevice.get()->id, speakers);
    queue.advance(1.0);
    EXPECT_EQ(log.count("🔧 Recovering Bus 1 (Speakers)..."), 1);
}

// A recovery whose start fails says so and not that it recovered; the recovery after the next
// change, which plays, does.
TEST_F(EngineTest, ARecoveryThatCannotStartDoesNotSayItRecovered) {
    start();
    const auto speakers = idOf("speakers");
    hardware->failStreamStart(speakers, AudioError::streamRefused);
    hardware->breakStreams(speakers);
    queue.advance(0.2);
    EXPECT_EQ(log.count("🔧 Recovering Bus 1 (Speakers)..."), 1);
    const auto lines = log.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.starts_with("❌ Could not start output engine: ");
    }));
    EXPECT_FALSE(log.contains("✅ Bus 1 recovered → Speakers"));
    EXPECT_FALSE(busState(1).isRunning);

    hardware->clearFailures();
    hardware->breakStreams(speakers);
    queue.advance(0.2);
    EXPECT_EQ(log.count("✅ Bus 1 recovered → Speakers"), 1);
    EXPECT_TRUE(busState(1).isRunning);
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
    EXPECT_TRUE(busState(1).isRunning);
    EXPECT_EQ(busState(1).device, idOf("speakers"));
    EXPECT_TRUE(log.contains("⚠️ Bus 2 device lost: Headphones"));
    EXPECT_FALSE(bus2->outputDevice.get().has_value());
    EXPECT_FALSE(busState(2).hasGraph);
    // The engine's own list is left to the device-list refresh.
}

// A bus whose device went away binds to it again when it comes back (under a new id), and
// plays its channels at once; a bus the user unassigned meanwhile does not.
TEST_F(EngineTest, ABusWhoseDeviceReturnsBindsToItAgainAndPlays) {
    VirtualSetup setup = testing::standardSetup();
    setup.devices.push_back(outputDevice("dac", "DAC"));
    setup.apps = {{"org.example.Player", "Player", Signal::sine(1000, -12)}};
    start(setup);
    engine->powerMode = PowerMode::alwaysOn;
    auto bus2 = engine->addOutputBus();
    engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);
    auto bus3 = engine->addOutputBus();
    engine->assignDevice(engine->availableOutputDevices.get()[2], bus3);
    bus2->faderLevel = -6.0f;
    engine->updateBusFader(bus2);
    auto channel = engine->addInputChannel();
    channel->busAssignments = std::set<int>{1, 2, 3};
    engine->setInputSource(channel, engine->capturableApps.get()[0]);
    queue.runUntilIdle();

    hardware->removeDevice(idOf("headphones"));
    hardware->removeDevice(idOf("dac"));
    queue.advance(0.5);
    EXPECT_TRUE(log.contains("⚠️ Bus 2 device lost: Headphones"));
    EXPECT_TRUE(log.contains("⚠️ Bus 3 device lost: DAC"));
    EXPECT_EQ(busState(2).awaitedDeviceUID, "headphones");
    // The user lets bus 3 go: it stays unbound whatever comes back.
    engine->unassignDevice(bus3);
    EXPECT_FALSE(busState(3).awaitedDeviceUID);
    // Saved while the device is away, a preset keeps it.
    EXPECT_EQ(engine->createPreset("away").outputBuses[1].outputDeviceUID, "headphones");

    hardware->addDevice(outputDevice("headphones", "Headphones", Transport::usb));
    hardware->addDevice(outputDevice("dac", "DAC"));
    queue.advance(0.5);
    EXPECT_TRUE(log.contains("🔄 Bus 2 device returned: Headphones"));
    ASSERT_TRUE(bus2->outputDevice.get());
    EXPECT_EQ(bus2->outputDevice.get()->id, idOf("headphones"));
    EXPECT_TRUE(busState(2).isRunning);
    EXPECT_FALSE(busState(2).awaitedDeviceUID);
    EXPECT_FALSE(bus3->outputDevice.get());
    EXPECT_FALSE(log.contains("🔄 Bus 3 device returned: DAC"));

    // Bus 2 carries the application again, at its level.
    const auto phones = render("headphones", 0.5)[0];
    EXPECT_NEAR(testing::toDb(testing::toneAmplitude(phones, 1000, 48000, 12000, 24000)), -18.0,
                0.1);
}

// A preset that names a device which is not plugged in leaves its bus waiting for it.
TEST_F(EngineTest, APresetBusWaitsForADeviceThatIsNotThereYet) {
    start();
    MixerPreset preset = engine->createPreset("later");
    preset.outputBuses[0].outputDeviceUID = "dac";
    engine->applyPreset(preset);
    queue.runUntilIdle();
    EXPECT_FALSE(engine->outputBusses.get()[0]->outputDevice.get());
    EXPECT_EQ(busState(1).awaitedDeviceUID, "dac");
    hardware->addDevice(outputDevice("dac", "DAC"));
    queue.advance(0.5);
    EXPECT_TRUE(log.contains("🔄 Bus 1 device returned: DAC"));
    EXPECT_TRUE(busState(1).isRunning);
    EXPECT_EQ(busState(1).device, idOf("dac"));
}

TEST_F(EngineTest, ARateChangeOfTheBusDeviceRebuildsItsGraph) {
    VirtualSetup setup = testing::standardSetup();
    setup.devices[1].availableRates = {{44100, 48000}};
    start(setup);
    auto bus = engine->outputBusses.get()[0];
    ASSERT_EQ(hardware->setNominalSampleRate(idOf("speakers"), 44100), AudioResult{});
    queue.advance(0.2);
    EXPECT_TRUE(log.contains("🔧 Recovering Bus 1 (Speakers)..."));
    EXPECT_TRUE(log.contains("✅ Bus 1 recovered → Speakers"));
    EXPECT_EQ(bus->outputDevice.get()->sampleRate, 44100.0);
    EXPECT_TRUE(busState(1).isRunning);
}

TEST_F(EngineTest, ConfigurationChangesDuringSleepAreIgnored) {
    start();
    // A change reported just before the system sleeps arrives once it is asleep.
    hardware->breakStreams(idOf("speakers"));
    engine->prepareForSleep();
    queue.runUntilIdle();
    EXPECT_TRUE(log.contains("💤 Ignoring Bus 1 config change during sleep"));
    EXPECT_FALSE(busState(1).isRecoveryPending);
    queue.advance(1.0);
    EXPECT_FALSE(log.contains("🔧 Recovering Bus 1 (Speakers)..."));
}

TEST_F(EngineTest, AssigningADeviceWhileIdleSuspendedResumesFirst) {
    start();
    queue.advance(70.0);  // a minute without audio
    ASSERT_TRUE(engine->isIdleSuspended.get());
    auto bus2 = engine->addOutputBus();
    engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);
    EXPECT_FALSE(engine->isIdleSuspended.get());
    EXPECT_TRUE(log.contains("⏰ Resuming from idle suspend..."));
}

}  // namespace
}  // namespace qv
