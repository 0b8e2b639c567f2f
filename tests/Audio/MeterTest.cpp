#include <gtest/gtest.h>

#include <cmath>

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

class MeterTest : public EngineTest {
  protected:
    void SetUp() override {
        start();
        channel = engine->addInputChannel();
        channel->sourceType = InputSourceType::systemAudio;  // meters fall only with a source
        bus = engine->outputBusses.get()[0];
    }
    // A constant signal whose level is exactly `db`.
    void feedChannel(float db) {
        std::vector<float> samples(128, std::pow(10.0f, db / 20.0f));
        engine->updateChannelMeterDirect(*channel, samples.data(), 128);
    }
    std::shared_ptr<InputChannel> channel;
    std::shared_ptr<OutputBus> bus;
};

TEST_F(MeterTest, OneValueIsSmoothedIntoTheMeterAndHeldAsPeak) {
    feedChannel(0.0f);
    EXPECT_EQ(channel->meterLevel.get(), -60.0f);  // nothing is written on the audio thread
    engine->drainMeterValues();
    EXPECT_FLOAT_EQ(channel->meterLevel.get(), -42.0f);
    EXPECT_FLOAT_EQ(channel->peakLevel.get(), 0.0f);
    engine->drainMeterValues();
    EXPECT_FLOAT_EQ(channel->meterLevel.get(), -42.0f);  // applied exactly once

    std::vector<float> left(128, 0.5f);
    engine->updateBusMeterDirect(bus->id, left.data(), 128);
    engine->updateBusMeterDirect(99, left.data(), 128);  // no such bus: dropped
    engine->drainMeterValues();
    EXPECT_NEAR(bus->meterLevel.get(), 0.7f * -60.0f + 0.3f * -6.0206f, 1e-3);
}

TEST_F(MeterTest, MetersFallOnTheTimerDownToTheFloor) {
    engine->powerMode = PowerMode::alwaysOn;  // no idle suspend during the long fall
    feedChannel(0.0f);
    engine->drainMeterValues();
    // The timer was started by the engine; its ticks come every 0.2 s.
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
    auto idle = engine->addInputChannel();
    idle->meterLevel = -20.0f;
    queue.advance(1.0);
    EXPECT_EQ(idle->meterLevel.get(), -20.0f);
}

TEST_F(MeterTest, MasterFollowsTheLoudestBoundBusAndFallsWithoutOne) {
    bus->meterLevel = -10.0f;
    engine->masterLevel = -30.0f;
    engine->updateMeters();
    EXPECT_FLOAT_EQ(bus->meterLevel.get(), -10.5f);
    EXPECT_FLOAT_EQ(engine->masterLevel.get(), -10.5f);
    engine->unassignDevice(bus);
    engine->updateMeters();
    EXPECT_FLOAT_EQ(engine->masterLevel.get(), -11.0f);
    for (int i = 0; i < 200; ++i)
        engine->updateMeters();
    EXPECT_FLOAT_EQ(engine->masterLevel.get(), -60.0f);
}

TEST_F(MeterTest, ActivityAboveMinus50AndOnlyVisibleMetersChange) {
    struct Case {
        float db;
        bool active;
    };
    for (const Case& c : {Case{-80, false}, Case{-50.01f, false}, Case{-49.99f, true}}) {
        engine->lastAudioActivity = -1.0;
        queue.advance(0.5);
        feedChannel(c.db);
        engine->drainMeterValues();
        EXPECT_EQ(engine->lastAudioActivity == queue.now(), c.active) << c.db;
    }

    engine->setUIVisible(false);
    const float before = channel->meterLevel.get();
    queue.advance(1.0);
    const double fed = queue.now();
    feedChannel(-10.0f);
    queue.advance(0.1);  // the drain timer applies it
    EXPECT_EQ(channel->meterLevel.get(), before);
    EXPECT_GE(engine->lastAudioActivity, fed);
    EXPECT_LE(engine->lastAudioActivity, fed + MultiOutputEngine::kMeterDrainInterval + 1e-9);
}

TEST_F(MeterTest, AFullHandOverDropsTheNewestAndCountsThem) {
    const auto capacity = EngineAudioState::kMeterQueueCapacity;
    std::vector<float> quiet(16, 0.001f);
    for (std::size_t i = 0; i < capacity + 10; ++i) {
        engine->updateBusMeterDirect(bus->id, quiet.data(), 16);
    }
    EXPECT_EQ(engine->droppedMeterValues(), 10u);
    engine->drainMeterValues();
    engine->updateBusMeterDirect(bus->id, quiet.data(), 16);
    EXPECT_EQ(engine->droppedMeterValues(), 10u);
}

}  // namespace
}  // namespace qv
