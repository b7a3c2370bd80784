#include "shell/SettingSwitch.h"

#include <QMetaObject>

#include <algorithm>

#include "model/UiText.h"

namespace dorvex::app {

SettingSwitch::SettingSwitch(const QString& text, SettingsStore& settings, std::string_view key, QWidget* parent)
    : QCheckBox(text, parent), settings_(settings), key_(key) {
    connect(this, &QCheckBox::toggled, this, [this](bool on) {
        if (!refreshing_) store(on);
    });
    // The store calls on the thread that made the change; the box changes on this one.
    subscription_ = settings_.observe([this](const SettingsStore::Change& change) {
        if (change.domain == settings_.applicationDomain() &&
            std::find(change.keys.begin(), change.keys.end(), key_) != change.keys.end()) {
            QMetaObject::invokeMethod(this, [this] { refresh(); });
        }
    });
    refresh();
}

void SettingSwitch::store(bool on) {
    try {
        settings_.setValue(key_, on);
    } catch (const std::exception& error) {
        qWarning("%s", qUtf8Printable(ui("Dorvex: 保存设置失败 %1").arg(QString::fromUtf8(error.what()))));
    }
    refresh();  // the old value when the write failed
}

void SettingSwitch::refresh() {
    refreshing_ = true;
    setChecked(settings_.boolValue(key_).value_or(true));
    refreshing_ = false;
}

}  // namespace dorvex::app
