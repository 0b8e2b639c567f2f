#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>

namespace qv {

// A stored setting keeps the type it was written with.
using SettingValue = std::variant<bool, std::int64_t, float, double, std::string>;

// Typed key-value settings that survive restarts. Main thread only.
class SettingsStore {
  public:
    virtual ~SettingsStore() = default;
    virtual std::optional<SettingValue> value(const std::string& key) const = 0;
    virtual void setValue(const std::string& key, const SettingValue& value) = 0;
    virtual void remove(const std::string& key) = 0;

    // The stored number when the key holds a floating-point value; nothing otherwise
    // (a text or a missing key).
    std::optional<float> floatValue(const std::string& key) const;
    std::optional<std::string> stringValue(const std::string& key) const;
};

// Settings kept in memory, for tests and render mode.
class MemorySettingsStore final : public SettingsStore {
  public:
    std::optional<SettingValue> value(const std::string& key) const override;
    void setValue(const std::string& key, const SettingValue& value) override;
    void remove(const std::string& key) override;

  private:
    std::map<std::string, SettingValue> values_;
};

}  // namespace qv
