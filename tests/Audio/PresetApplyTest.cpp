#include <gtest/gtest.h>

#include "EngineFixture.h"

namespace qv {
namespace {

using testing::EngineTest;

OutputBusPreset bus(std::int64_t id, std::string name) {
    OutputBusPreset b;
    b.id = id;
    b.name = std::move(name);
    return b;
}

TEST_F(EngineTest, ApplyingKeepsBusIdsAndEmptyPresetsGiveOneBus) {
    start();
    MixerPreset preset;
    preset.name = "Gaps";
    auto b3 = bus(3, "Three");
    b3.delayMs = 2500;
    b3.outputDeviceUID = "headphones";
    auto b7 = bus(7, "Seven");
    b7.isMuted = true;
    b7.outputDeviceUID = "nowhere";
    preset.outputBuses = {b3, b7};
    engine->applyPreset(preset);
    ASSERT_EQ(engine->outputBusses.get().size(), 2u);
    EXPECT_EQ(engine->diagnostics().nextBusId, 8);
    auto three = engine->outputBusses.get()[0];
    EXPECT_EQ(three->id, 3);
    EXPECT_EQ(three->outputDevice.get()->uid, "headphones");
    EXPECT_EQ(busState(3).delaySeconds, 2.0);
    EXPECT_EQ(busState(3).delayWetDryMix, 100.0f);
    EXPECT_FALSE(busState(3).delayBypass);
    EXPECT_FALSE(engine->outputBusses.get()[1]->outputDevice.get().has_value());
    EXPECT_TRUE(log.contains("✅ Preset 'Gaps' applied with 0 channels"));

    engine->applyPreset(MixerPreset{});
    ASSERT_EQ(engine->outputBusses.get().size(), 1u);
    EXPECT_EQ(engine->outputBusses.get()[0]->name.get(), "Bus 1");
    EXPECT_EQ(engine->diagnostics().nextBusId, 2);
}

TEST_F(EngineTest, ApplyingRebuildsChannelsAndRestoresTheirSourcesAfterwards) {
    start();
    InputChannelPreset mic;
    mic.name = "Voice";
    mic.eqType = "4-Band";
    mic.sourceType = "microphone";
    mic.sourceDeviceUID = "usb-mic";
    mic.busAssignments = {1, 9};
    mic.faderLevel = -10;
    mic.faderEnabled = true;
    InputChannelPreset lost = mic;
    lost.name = "Lost";
    lost.sourceDeviceUID = "gone";
    InputChannelPreset app;
    app.name = "Music";
    app.sourceType = "appAudio";
    app.sourceAppBundleId = "org.example.Player";
    app.isSolo = true;
    MixerPreset preset;
    preset.name = "Show";
    preset.outputBuses = {bus(1, "Main")};
    preset.outputBuses[0].outputDeviceUID = "speakers";
    preset.inputChannels = {mic, lost, app};
    engine->applyPreset(preset);

    const auto channels = engine->inputChannels.get();
    ASSERT_EQ(channels.size(), 3u);
    EXPECT_EQ(channels[0]->eqType.get(), EQType::bands3);  // unknown layout
    EXPECT_EQ(channels[0]->busAssignments.get(), (std::set<int>{1, 9}));
    EXPECT_TRUE(channels[0]->faderEnabled.get());
    EXPECT_FALSE(channels[0]->gainEnabled.get());
    EXPECT_TRUE(engine->hasSoloActive());  // without any strip being told
    // Sources come after apply returns.
    EXPECT_EQ(channels[0]->sourceType, InputSourceType::none);
    queue.runUntilIdle();
    EXPECT_EQ(channels[0]->sourceType, InputSourceType::microphone);
    EXPECT_EQ(channels[1]->sourceType, InputSourceType::none);
    EXPECT_EQ(channels[2]->sourceType, InputSourceType::appAudio);
    EXPECT_TRUE(channelState(*channels[2]).hasAppCapture);
    EXPECT_TRUE(log.contains("✅ Preset 'Show' applied with 3 channels"));

    channels[2]->isSolo = false;
    EXPECT_FALSE(engine->hasSoloActive());
}

TEST_F(EngineTest, CaptureAndApplyRoundTrip) {
    start();
    auto bus2 = engine->addOutputBus();
    engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);
    bus2->delayMs = 120;
    bus2->eqType = EQType::bands11;
    bus2->eqBands = std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    auto channel = engine->addInputChannel();
    channel->name = "Guitar";
    channel->busAssignments = std::set<int>{2};
    channel->pan = -0.25f;
    channel->panEnabled = true;
    channel->gainEnabled = true;
    channel->inputGain = 4;
    engine->setInputSource(channel, engine->availableInputDevices.get()[0]);

    auto first = engine->createPreset("Set");
    EXPECT_TRUE(log.contains("📦 Created preset 'Set'"));
    ASSERT_EQ(first.inputChannels.size(), 1u);
    EXPECT_EQ(first.inputChannels[0].sourceDeviceUID, std::optional<std::string>("usb-mic"));
    EXPECT_EQ(first.outputBuses[1].outputDeviceUID, std::optional<std::string>("headphones"));

    engine->applyPreset(first);
    queue.runUntilIdle();
    auto second = engine->createPreset("Set");
    second.id = first.id;
    second.createdAt = first.createdAt;
    ASSERT_EQ(second.inputChannels.size(), 1u);
    second.inputChannels[0].id = first.inputChannels[0].id;
    EXPECT_EQ(second, first);
    EXPECT_NE(engine->inputChannels.get()[0]->id, channel->id);
}

}  // namespace
}  // namespace qv
