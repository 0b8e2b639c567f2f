#include "Foundation/SettingsStore.h"

namespace qv {

std::optional<float> SettingsStore::floatValue(const std::string& key) const {
    auto v = value(key);
    if (!v) {
        return std::nullopt;
    }
    if (auto* f = std::get_if<float>(&*v)) {
        return *f;
    }
    if (auto* d = std::get_if<double>(&*v)) {
        return static_cast<float>(*d);
    }
    return std::nullopt;
}

std::optional<std::string> SettingsStore::stringValue(const std::string& key) const {
    auto v = value(key);
    if (v) {
        if (auto* s = std::get_if<std::string>(&*v)) {
            return *s;
        }
    }
    return std::nullopt;
}

std::optional<SettingValue> MemorySettingsStore::value(const std::string& key) const {
    auto it = values_.find(key);
    if (it == values_.end()) {
        return std::nullopt;
    }
    return it->second;
}

void MemorySettingsStore::setValue(const std::string& key, const SettingValue& value) {
    values_[key] = value;
}

void MemorySettingsStore::remove(const std::string& key) {
    values_.erase(key);
}

}  // namespace qv
