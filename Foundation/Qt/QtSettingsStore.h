#pragma once

#include <memory>

#include "Foundation/SettingsStore.h"

class QSettings;

namespace qv {

// Settings in QSettings under organisation and application "Quorvanta". Values keep the type
// they were written with.
class QtSettingsStore final : public SettingsStore {
  public:
    QtSettingsStore();
    ~QtSettingsStore() override;

    std::optional<SettingValue> value(const std::string& key) const override;
    void setValue(const std::string& key, const SettingValue& value) override;
    void remove(const std::string& key) override;

  private:
    std::unique_ptr<QSettings> settings_;
};

}  // namespace qv
