#include <gtest/gtest.h>

#include <cmath>

#include "Audio/MeterHub.h"
#include "EngineFixture.h"

namespace qv {
namespace {

using testing::EngineTest;

TEST(MeasureLevel, RmsInDecibelsWithAFloor) {
    const std::vector<float> silence(256, 0.0f);
    std::vector<float> square(256), sine(4800);
    for (std::size_t i = 0; i < square.size(); ++i)
        square[i] = i % 2 ? 1.0f : -1.0f;
    for (std::size_t i = 0; i < sine.size(); ++i) {
        sine[i] =
            static_cast<float>(std::sin(2 * M_PI * 1000.0 * static_cast<double>(i) / 48000.0));
    }
    EXPECT_FLOAT_EQ(*measureLevel(silence.data(), 256), -80.0f);
    EXPECT_FLOAT_EQ(*measureLevel(square.data(), 256), 0.0f);
    EXPECT_NEAR(*measureLevel(sine.data(), 4800), -3.0103, 0.001);
    EXPECT_FALSE(measureLevel(sine.data(), 0).has_value());
    EXPECT_FALSE(measureLevel(nullptr, 10).has_value());
}

// The meters of one channel and one bound bus, fed through the hand-over as audio threads do.
class MeterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        channel = std::make_shared<InputChannel>("Input 1");
        channel->sourceType = InputSourceType::systemAudio;  // meters fall only with a source
        bus = std::make_shared<OutputBus>(1, "Bus 1");
        bus->outputDevice = AudioOutputDevice{100, "speakers", "Speakers", 2, "Built-in", 48000};
        state.inputChannels = {channel};
        state.outputBusses = {bus};
        state.isRunning = true;
        meters.setPowerMessageHandler([this](const MeterMessage& m) { power.push_back(m); });
    }
    // A constant signal whose level is exactly `db`.
    void feedChannel(float db) {
        std::vector<float> samples(128, std::pow(10.0f, db / 20.0f));
        audio->updateChannelMeterDirect(channel->id, samples.data(), 128);
    }

    VirtualMainQueue queue;
    MixerState state;
    std::shared_ptr<EngineAudioState> audio = std::make_shared<EngineAudioState>();
    MeterHub meters{state, queue, audio};
    std::vector<MeterMessage> power;
    std::shared_ptr<InputChannel> channel;
    std::shared_ptr<OutputBus> bus;
};

TEST_F(MeterTest, OneValueIsSmoothedIntoTheMeterAndHeldAsPeak) {
    feedChannel(0.0f);
    EXPECT_EQ(channel->meterLevel.get(), -60.0f);  // nothing is written on the audio thread
    meters.drainMeterValues();
    EXPECT_FLOAT_EQ(channel->meterLevel.get(), -42.0f);
    EXPECT_FLOAT_EQ(channel->peakLevel.get(), 0.0f);
    meters.drainMeterValues();
    EXPECT_FLOAT_EQ(channel->meterLevel.get(), -42.0f);  // applied exactly once

    std::vector<float> left(128, 0.5f);
    audio->updateBusMeterDirect(bus->id, left.data(), 128);
    audio->updateBusMeterDirect(99, left.data(), 128);  // no such bus: dropped
    meters.drainMeterValues();
    EXPECT_NEAR(bus->meterLevel.get(), 0.7f * -60.0f + 0.3f * -6.0206f, 1e-3);
}

TEST_F(MeterTest, MetersFallOnTheTimerDownToTheFloor) {
    feedChannel(0.0f);
    meters.drainMeterValues();
    meters.startMeterTimer();
    const double start = queue.now();
    queue.advanceTo(start + 0.2 * 35 + 0.01);
    EXPECT_GT(channel->meterLevel.get(), -60.0f);
    queue.advanceTo(start + 0.2 * 36 + 0.01);
    EXPECT_EQ(channel->meterLevel.get(), -60.0f);
    EXPECT_NEAR(channel->peakLevel.get(), -36 * 0.125f, 1e-4);
    queue.advanceTo(start + 0.2 * 479 + 0.01);
    EXPECT_GT(channel->peakLevel.get(), -60.0f);
    queue.advanceTo(start + 0.2 * 480 + 0.01);
    EXPECT_EQ(channel->peakLevel.get(), -60.0f);

    // A channel without a source keeps its values.
    auto idle = std::make_shared<InputChannel>("Input 2");
    state.inputChannels = {channel, idle};
    idle->meterLevel = -20.0f;
    queue.advance(1.0);
    EXPECT_EQ(idle->meterLevel.get(), -20.0f);

    meters.stopMeterTimer();
    EXPECT_FALSE(meters.hasMeterTimer());
    state.isRunning = false;
    meters.startMeterTimer();  // only while the engine runs
    EXPECT_FALSE(meters.hasMeterTimer());
}

TEST_F(MeterTest, MasterFollowsTheLoudestBoundBusAndFallsWithoutOne) {
    bus->meterLevel = -10.0f;
    state.masterLevel = -30.0f;
    meters.updateMeters();
    EXPECT_FLOAT_EQ(bus->meterLevel.get(), -10.5f);
    EXPECT_FLOAT_EQ(state.masterLevel.get(), -10.5f);
    bus->outputDevice = std::nullopt;
    meters.updateMeters();
    EXPECT_FLOAT_EQ(state.masterLevel.get(), -11.0f);
    for (int i = 0; i < 200; ++i)
        meters.updateMeters();
    EXPECT_FLOAT_EQ(state.masterLevel.get(), -60.0f);
}

TEST_F(MeterTest, ActivityAboveMinus50AndOnlyVisibleMetersChange) {
    struct Case {
        float db;
        bool active;
    };
    for (const Case& c : {Case{-80, false}, Case{-50.01f, false}, Case{-49.99f, true}}) {
        power.clear();
        feedChannel(c.db);
        meters.drainMeterValues();
        const bool marked =
            !power.empty() && power.front().kind == MeterMessage::Kind::audioActivity;
        EXPECT_EQ(marked, c.active) << c.db;
    }

    meters.setUIVisible(false);
    const float before = channel->meterLevel.get();
    power.clear();
    feedChannel(-10.0f);
    meters.drainMeterValues();
    EXPECT_EQ(channel->meterLevel.get(), before);
    EXPECT_EQ(power.size(), 1u);  // activity still counts
}

TEST_F(MeterTest, AFullHandOverDropsTheNewestAndCountsThem) {
    const auto capacity = EngineAudioState::kMeterQueueCapacity;
    std::vector<float> quiet(16, 0.001f);
    for (std::size_t i = 0; i < capacity + 10; ++i) {
        audio->updateBusMeterDirect(bus->id, quiet.data(), 16);
    }
    EXPECT_EQ(audio->droppedMeterValues(), 10u);
    meters.drainMeterValues();
    audio->updateBusMeterDirect(bus->id, quiet.data(), 16);
    EXPECT_EQ(audio->droppedMeterValues(), 10u);
}

// With no view on screen the meters rest, but audio on a channel still counts as activity.
TEST_F(EngineTest, HiddenMetersRestWhileActivityIsStillSeen) {
    VirtualSetup setup = testing::standardSetup();
    setup.apps = {{"org.example.Player", "Player", Signal::sine(1000, -20)}};
    start(setup);
    engine->powerMode = PowerMode::alwaysOn;
    auto channel = engine->addInputChannel();
    engine->setInputSource(channel, engine->capturableApps.get()[0]);
    queue.runUntilIdle();
    render("speakers", 0.5);
    EXPECT_GT(channel->meterLevel.get(), -30.0f);
    EXPECT_TRUE(engine->diagnostics().hasMeterTimer);

    engine->setUIVisible(false);
    EXPECT_FALSE(engine->diagnostics().hasMeterTimer);
    const float before = channel->meterLevel.get();
    const Seconds hidden = queue.now();
    render("speakers", 0.5);
    EXPECT_EQ(channel->meterLevel.get(), before);
    EXPECT_GT(engine->diagnostics().lastAudioActivity, hidden + 0.4);
    engine->setUIVisible(true);
    EXPECT_TRUE(engine->diagnostics().hasMeterTimer);
}

}  // namespace
}  // namespace qv
