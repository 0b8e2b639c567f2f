#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "Foundation/Log.h"
#include "Foundation/Qt/QtSettingsStore.h"
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

// QSettings keeps the type a value was written with across a reopen, so a stored text is
// never taken for a number.
TEST(QtSettingsStore, ValuesKeepTheirTypeAcrossReopen) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
    QStandardPaths::setTestModeEnabled(false);
    {
        QtSettingsStore store;
        store.setValue("ecoWakeThreshold", SettingValue{-45.0f});
        store.setValue("lastPresetPath", SettingValue{std::string("/tmp/a b.json")});
        store.setValue("text", SettingValue{std::string("-12")});
    }
    QtSettingsStore reopened;
    EXPECT_EQ(reopened.floatValue("ecoWakeThreshold"), -45.0f);
    EXPECT_EQ(reopened.stringValue("lastPresetPath"), "/tmp/a b.json");
    EXPECT_FALSE(reopened.floatValue("text").has_value());
    reopened.remove("text");
    EXPECT_FALSE(reopened.value("text").has_value());
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
