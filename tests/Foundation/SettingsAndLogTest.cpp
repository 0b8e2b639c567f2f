#include <gtest/gtest.h>

#include "Foundation/Log.h"
#include "Foundation/SettingsStore.h"

namespace qv {
namespace {

TEST(SettingsStore, FloatValueOnlyForNumbers) {
    MemorySettingsStore store;
    store.setValue("f", SettingValue{-42.0f});
    store.setValue("d", SettingValue{-30.0});
    store.setValue("s", SettingValue{std::string("-20")});
    EXPECT_EQ(store.floatValue("f"), -42.0f);
    EXPECT_EQ(store.floatValue("d"), -30.0f);
    EXPECT_FALSE(store.floatValue("s").has_value());
    EXPECT_FALSE(store.floatValue("missing").has_value());
    store.remove("f");
    EXPECT_FALSE(store.value("f").has_value());
}

TEST(Log, CaptureSeesBothChannelsSeparately) {
    LogCapture capture;
    Log::line("🔊 Found 2 output devices");
    Log::systemf("⚡ Power mode: %s", "eco");
    Log::systemf("⚙️ Eco wake threshold: %.0f dB", -45.4);
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"🔊 Found 2 output devices"}));
    EXPECT_EQ(capture.systemLines(),
              (std::vector<std::string>{"⚡ Power mode: eco", "⚙️ Eco wake threshold: -45 dB"}));
}

}  // namespace
}  // namespace qv
