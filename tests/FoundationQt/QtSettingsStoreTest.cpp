#include <gtest/gtest.h>

#include <QStandardPaths>
#include <QTemporaryDir>

#include "Foundation/Qt/QtSettingsStore.h"

namespace qv {
namespace {

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

}  // namespace
}  // namespace qv
