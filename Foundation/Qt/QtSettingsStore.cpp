#include "Foundation/Qt/QtSettingsStore.h"

#include <QSettings>
#include <QString>
#include <QVariant>

namespace qv {

QtSettingsStore::QtSettingsStore()
    : settings_(
          std::make_unique<QSettings>(QStringLiteral("Quorvanta"), QStringLiteral("Quorvanta"))) {}

QtSettingsStore::~QtSettingsStore() = default;

std::optional<SettingValue> QtSettingsStore::value(const std::string& key) const {
    QVariant v = settings_->value(QString::fromStdString(key));
    if (!v.isValid()) {
        return std::nullopt;
    }
    switch (v.typeId()) {
        case QMetaType::Bool:
            return SettingValue{v.toBool()};
        case QMetaType::Int:
        case QMetaType::LongLong:
        case QMetaType::UInt:
        case QMetaType::ULongLong:
            return SettingValue{static_cast<std::int64_t>(v.toLongLong())};
        case QMetaType::Float:
            return SettingValue{v.toFloat()};
        case QMetaType::Double:
            return SettingValue{v.toDouble()};
        default:
            return SettingValue{v.toString().toStdString()};
    }
}

void QtSettingsStore::setValue(const std::string& key, const SettingValue& value) {
    QVariant v = std::visit(
        [](const auto& x) -> QVariant {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::string>) {
                return QString::fromStdString(x);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return QVariant::fromValue(static_cast<qlonglong>(x));
            } else {
                return QVariant::fromValue(x);
            }
        },
        value);
    settings_->setValue(QString::fromStdString(key), v);
    settings_->sync();
}

void QtSettingsStore::remove(const std::string& key) {
    settings_->remove(QString::fromStdString(key));
    settings_->sync();
}

}  // namespace qv
