#include <gtest/gtest.h>

#include "EngineFixture.h"

namespace qv {
namespace {

using testing::EngineTest;
using testing::inputDevice;
using testing::outputDevice;
using Lines = std::vector<std::string>;

TEST_F(EngineTest, CreationMakesBusOneAndDefersTheStartUpTask) {
    build();
    ASSERT_EQ(engine->outputBusses.get().size(), 1u);
    EXPECT_EQ(engine->outputBusses.get()[0]->id, 1);
    EXPECT_EQ(engine->outputBusses.get()[0]->name.get(), "Bus 1");
    EXPECT_EQ(engine->diagnostics().nextBusId, 2);
    EXPECT_TRUE(log.lines().empty());

    queue.runUntilIdle();
    EXPECT_EQ(log.lines(), (Lines{
                               "🔊 Found 2 output devices",
                               "🎤 Found 1 input devices",
                               "✅ Screen capture permission granted, 1 apps",
                               "🔊 Auto-assigned Speakers to Bus 1",
                               "✅ Bus 1 → Speakers",
                               "▶️ Multi-Output Engine started",
                               "▶️ Engine auto-started",
                               "👂 Device list listener installed (UI-only)",
                           }));
    EXPECT_TRUE(engine->isRunning.get());
    auto bus = engine->outputBusses.get()[0];
    EXPECT_TRUE(busState(1).isRunning);
    EXPECT_EQ(busState(1).device, idOf("speakers"));
    EXPECT_EQ(bus->outputDevice.get()->uid, "speakers");
}

TEST_F(EngineTest, WithoutOutputDevicesStartSucceedsWithNothingBound) {
    VirtualSetup setup;
    setup.devices.push_back(inputDevice("mic", "Mic"));
    start(setup);
    EXPECT_TRUE(engine->isRunning.get());
    EXPECT_FALSE(engine->outputBusses.get()[0]->outputDevice.get().has_value());
    EXPECT_TRUE(log.contains("▶️ Engine auto-started"));
    EXPECT_FALSE(log.contains("🔊 Auto-assigned Speakers to Bus 1"));
}

TEST_F(EngineTest, StartFailsWhenNoBoundBusCanStart) {
    build();
    hardware->failStreamStart(idOf("speakers"), AudioError::streamRefused);
    queue.runUntilIdle();
    EXPECT_FALSE(engine->isRunning.get());
    EXPECT_TRUE(log.contains("❌ Auto-start failed: No output buses could be started"));
    bool warned = false;
    for (const auto& line : log.lines()) {
        warned |= line.rfind("⚠️ Bus 1 engine failed to start: ", 0) == 0 &&
                  line.find(" — continuing") != std::string::npos;
    }
    EXPECT_TRUE(warned);

    EngineError error;
    EXPECT_FALSE(engine->start(&error));
    EXPECT_EQ(error.domain, "Quorvanta");
    EXPECT_EQ(error.code, -1);
    EXPECT_EQ(error.localizedDescription, "No output buses could be started");
}

TEST_F(EngineTest, OneFailingBusIsToleratedWhileAnotherRuns) {
    start();
    engine->stop();
    auto bus2 = engine->addOutputBus();
    bus2->outputDevice = engine->availableOutputDevices.get()[1];
    hardware->failStreamStart(idOf("speakers"), AudioError::streamRefused);
    EXPECT_TRUE(engine->start());
    EXPECT_TRUE(engine->isRunning.get());
    EXPECT_FALSE(busState(1).isRunning);
    EXPECT_TRUE(busState(bus2->id).isRunning);
}

TEST_F(EngineTest, StartWhileRunningDoesNothing) {
    start();
    log.clear();
    EXPECT_TRUE(engine->start());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(EngineTest, StopKeepsGraphsBuiltAndStartResumesThem) {
    start();
    engine->addInputChannel();
    engine->stop();
    EXPECT_FALSE(engine->isRunning.get());
    EXPECT_TRUE(busState(1).hasGraph);
    EXPECT_FALSE(busState(1).isRunning);
    EXPECT_FALSE(engine->diagnostics().hasMeterTimer);
    EXPECT_FALSE(engine->diagnostics().hasIdleCheckTimer);
    EXPECT_TRUE(log.contains("⏹ Multi-Output Engine stopped"));
    EXPECT_TRUE(log.contains("🛑 Stopped input capture for Input 1"));

    EXPECT_TRUE(engine->start());
    EXPECT_TRUE(busState(1).isRunning);
    auto channel = engine->inputChannels.get()[0];
    ASSERT_TRUE(channelState(*channel).bus(1));
    EXPECT_TRUE(channelState(*channel).bus(1)->eq.has_value());
}

TEST_F(EngineTest, AddInputChannelNamesByCountAndBuildsAChainOnEveryBus) {
    start();
    auto bus2 = engine->addOutputBus();
    engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);
    for (int i = 0; i < 3; ++i) {
        engine->addInputChannel();
    }
    auto fourth = engine->addInputChannel();
    EXPECT_EQ(fourth->name.get(), "Input 4");
    const auto chains = channelState(*fourth).buses;
    ASSERT_EQ(chains.size(), 2u);
    for (const auto& chain : chains) {
        EXPECT_TRUE(chain.eq && !chain.isFlowing) << chain.busId;
    }
    EXPECT_TRUE(log.contains("✅ Audio chain setup for Input 4 (2 buses)"));
    EXPECT_EQ(engine->inputChannels.get().back(), fourth);
}

TEST_F(EngineTest, RemoveInputChannelTearsDownItsChains) {
    start();
    auto first = engine->addInputChannel();
    auto second = engine->addInputChannel();
    ASSERT_TRUE(channelState(*first).bus(1));
    engine->removeInputChannel(first);
    EXPECT_EQ(engine->inputChannels.get(), (std::vector<std::shared_ptr<InputChannel>>{second}));
    EXPECT_FALSE(engine->diagnostics().channel(first->id));
    ASSERT_TRUE(channelState(*second).bus(1));
    EXPECT_TRUE(channelState(*second).bus(1)->eq.has_value());
}

TEST_F(EngineTest, ResetToEmptyLeavesOneFreshBusAndForgetsThePreset) {
    start();
    settings.setValue("lastPresetPath", SettingValue{std::string("/home/u/p.json")});
    engine->addInputChannel();
    engine->addOutputBus();
    engine->addOutputBus();
    engine->resetToEmpty();
    EXPECT_TRUE(engine->inputChannels.get().empty());
    ASSERT_EQ(engine->outputBusses.get().size(), 1u);
    EXPECT_EQ(engine->outputBusses.get()[0]->id, 1);
    EXPECT_FALSE(engine->outputBusses.get()[0]->outputDevice.get().has_value());
    EXPECT_EQ(engine->diagnostics().nextBusId, 2);
    EXPECT_FALSE(settings.value("lastPresetPath").has_value());
    EXPECT_TRUE(engine->isRunning.get());
    EXPECT_EQ(log.lines().back(), "🆕 Reset to empty mixer state");
    EXPECT_EQ(engine->addOutputBus()->name.get(), "Bus 2");
}

TEST_F(EngineTest, RefreshKeepsBusBindingsByUidAndStaleRecordsWhenGone) {
    start();
    auto bus2 = engine->addOutputBus();
    engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);
    // The speakers come back under a new id; the headphones disappear.
    const auto oldSpeakers = idOf("speakers");
    hardware->removeDevice(oldSpeakers);
    hardware->addDevice(outputDevice("speakers", "Speakers"));
    hardware->removeDevice(idOf("headphones"));
    log.clear();

    bool finished = false;
    engine->refreshAll([&] { finished = true; });
    queue.advance(1.0);
    EXPECT_TRUE(finished);
    auto bus1 = engine->outputBusses.get()[0];
    EXPECT_NE(bus1->outputDevice.get()->id, oldSpeakers);
    EXPECT_EQ(bus1->outputDevice.get()->id, idOf("speakers"));
    EXPECT_TRUE(busState(1).isRunning);
    EXPECT_EQ(bus2->outputDevice.get()->uid, "headphones");  // stale record kept
    EXPECT_EQ(log.lines().front(), "🔄 Refreshing all devices and engines...");
    EXPECT_TRUE(log.contains("✅ Refresh complete"));
    EXPECT_TRUE(busState(1).isWatched);
}

TEST_F(EngineTest, RefreshRestoresSourcesWithPausesAndReportsMissingOnes) {
    start();
    auto mic = engine->addInputChannel();
    auto app = engine->addInputChannel();
    auto system = engine->addInputChannel();
    auto removed = engine->addInputChannel();
    mic->sourceType = InputSourceType::microphone;
    mic->sourceDeviceUID = std::string("gone-mic");
    app->sourceType = InputSourceType::appAudio;
    app->sourceAppBundleId = std::string("org.example.Gone");
    system->sourceType = InputSourceType::systemAudio;
    removed->sourceType = InputSourceType::systemAudio;

    bool finished = false;
    engine->refreshAll([&] { finished = true; });
    queue.runUntilIdle();
    EXPECT_TRUE(log.contains("⚠️ Mic device not found: gone-mic"));
    EXPECT_EQ(mic->sourceError.get(), std::optional<std::string>("Device lost"));
    EXPECT_EQ(mic->sourceType, InputSourceType::none);
    EXPECT_FALSE(log.contains("⚠️ App not found: org.example.Gone"));

    queue.advance(0.05);
    EXPECT_TRUE(log.contains("⚠️ App not found: org.example.Gone"));
    EXPECT_EQ(app->sourceError.get(), std::optional<std::string>("App not running"));
    // A channel removed while the refresh waits is skipped.
    engine->removeInputChannel(removed);
    queue.advance(0.05);
    EXPECT_EQ(system->sourceType, InputSourceType::systemAudio);
    EXPECT_FALSE(finished);
    queue.advance(0.05);
    EXPECT_TRUE(finished);
    EXPECT_EQ(log.count("🔊 Setting system audio source"), 1);
}

TEST_F(EngineTest, SleepStopsEverythingAndWakeRecoversAfterFiveSeconds) {
    start();
    auto channel = engine->addInputChannel();
    channel->sourceType = InputSourceType::systemAudio;
    channel->sourceAppBundleId = std::string("org.example.Player");
    engine->prepareForSleep();
    EXPECT_TRUE(engine->isSleeping());
    EXPECT_EQ(channel->sourceType, InputSourceType::systemAudio);  // remembered
    EXPECT_FALSE(busState(1).isRunning);
    EXPECT_TRUE(engine->isRunning.get());
    EXPECT_FALSE(busState(1).isWatched);
    EXPECT_EQ(log.lines().back(),
              "😴 Prepared for system sleep - all engines stopped, source info preserved");
    log.clear();
    engine->prepareForSleep();
    EXPECT_TRUE(log.lines().empty());

    engine->resumeFromSleep();
    EXPECT_EQ(log.lines(), (Lines{"☀️ System woke - scheduling audio recovery..."}));
    queue.advanceTo(4.99);
    EXPECT_TRUE(engine->isSleeping());
    queue.advanceTo(5.0);
    EXPECT_FALSE(engine->isSleeping());
    EXPECT_TRUE(log.contains("☀️ Restoring audio chain..."));
    queue.advance(1.0);
    EXPECT_TRUE(log.contains("✅ Audio recovery after wake complete"));
    EXPECT_TRUE(busState(1).isRunning);
    EXPECT_EQ(channel->sourceType, InputSourceType::systemAudio);
}

TEST_F(EngineTest, WakeWithoutSleepOrAfterTheEngineIsGoneDoesNothing) {
    start();
    log.clear();
    engine->resumeFromSleep();
    EXPECT_TRUE(log.lines().empty());

    engine->prepareForSleep();
    engine->resumeFromSleep();
    engine.reset();
    log.clear();
    queue.advance(10.0);
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace qv
