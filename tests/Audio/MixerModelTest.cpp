#include <gtest/gtest.h>

#include "EngineFixture.h"

namespace qv {
namespace {

using testing::EngineTest;

TEST(MixerModel, DeviceRecordIdentity) {
    AudioOutputDevice a{7, "uid-a", "Speakers", 2, "Built-in", 48000};
    AudioOutputDevice b{7, "uid-b", "Other name", 4, "USB", 44100};
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<AudioOutputDevice>{}(a), std::hash<AudioOutputDevice>{}(b));

    AudioInputDevice m{"mic", "Mic", 3, 1, "USB", 44100};
    AudioInputDevice n = m;
    n.sampleRate = 48000;
    EXPECT_NE(m, n);
    EXPECT_EQ(std::hash<AudioInputDevice>{}(m), std::hash<AudioInputDevice>{}(n));
}

TEST(MixerModel, EnumerationsOnlyFromTheirExactValues) {
    EXPECT_EQ(eqTypeFromText("2-Band"), EQType::bands2);
    EXPECT_EQ(eqTypeFromText("11-Band"), EQType::bands11);
    EXPECT_FALSE(eqTypeFromText("3-band").has_value());
    EXPECT_FALSE(eqTypeFromText("").has_value());
    EXPECT_EQ(powerModeFromInt(2), PowerMode::ecoSleep);
    EXPECT_FALSE(powerModeFromInt(3).has_value());
    EXPECT_FALSE(powerModeFromInt(-1).has_value());
    EXPECT_EQ(powerModeHelpText(PowerMode::eco), "ECO: Auto-sleep after 60s, auto-wake on audio");
}

TEST(MixerModel, NewChannelAndBusDefaults) {
    InputChannel channel("Input 1");
    EXPECT_EQ(channel.busAssignments.get(), std::set<int>{1});
    EXPECT_EQ(channel.eqBands.get(), std::vector<float>(11, 0.0f));
    EXPECT_EQ(channel.eqType.get(), EQType::bands3);
    EXPECT_EQ(channel.meterLevel.get(), -60.0f);
    EXPECT_EQ(channel.sourceType, InputSourceType::none);
    EXPECT_NE(InputChannel("x").id, channel.id);
    EXPECT_EQ(channel.id.toString().size(), 36u);
    EXPECT_EQ(channel.id.toString(), Uuid::fromString(channel.id.toString())->toString());

    OutputBus bus(3, "Bus 3");
    EXPECT_FALSE(bus.outputDevice.get().has_value());
    EXPECT_EQ(bus.delayMs.get(), 0.0f);
    EXPECT_EQ(bus.eqType.get(), EQType::bands3);
}

class EcoWakeThresholdTest : public EngineTest {};

TEST_F(EcoWakeThresholdTest, StoredValueIsReadOnlyWhenItIsANumber) {
    struct Case {
        std::optional<SettingValue> stored;
        float expected;
    };
    const Case cases[] = {
        {std::nullopt, -60.0f},
        {SettingValue{-42.0f}, -42.0f},
        {SettingValue{std::string("-42")}, -60.0f},
        {SettingValue{true}, -60.0f},
    };
    for (const auto& c : cases) {
        settings.remove("ecoWakeThreshold");
        if (c.stored) {
            settings.setValue("ecoWakeThreshold", *c.stored);
        }
        build();
        EXPECT_EQ(engine->ecoWakeThreshold.get(), c.expected);
        engine.reset();
    }
}

TEST_F(EcoWakeThresholdTest, AssignmentIsStoredAndLogged) {
    build();
    engine->ecoWakeThreshold = -45.4f;
    EXPECT_EQ(settings.floatValue("ecoWakeThreshold"), -45.4f);
    EXPECT_TRUE(log.containsSystem("⚙️ Eco wake threshold: -45 dB"));
}

TEST_F(EngineTest, PowerModeChangeLogsOnlyRealChanges) {
    start();
    engine->powerMode = PowerMode::eco;
    EXPECT_TRUE(log.systemLines().empty());
    engine->powerMode = PowerMode::alwaysOn;
    engine->powerMode = PowerMode::ecoSleep;
    EXPECT_EQ(log.systemLines(),
              (std::vector<std::string>{"⚡ Power mode: alwaysOn", "⚡ Power mode: ecoSleep"}));
}

TEST_F(EngineTest, VisibilityStartsAndStopsTheMeterTimer) {
    start();
    ASSERT_TRUE(engine->isRunning.get());
    auto hasTimer = [&] { return engine->diagnostics().hasMeterTimer; };
    EXPECT_TRUE(hasTimer());
    engine->setUIVisible(false);
    EXPECT_FALSE(engine->isUIVisible());
    EXPECT_FALSE(hasTimer());
    engine->setUIVisible(true);
    EXPECT_TRUE(hasTimer());
    engine->isIdleSuspended = true;
    engine->setUIVisible(false);
    engine->setUIVisible(true);
    EXPECT_FALSE(hasTimer());
}

}  // namespace
}  // namespace qv
