#include "shell/GeneralSettings.h"

#include <QCheckBox>
#include <QLabel>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

#include <algorithm>

namespace dorvex::app {

namespace {

// Both settings are on unless the user turned them off (the defaults registered at start-up).
bool isOn(const SettingsStore& settings, std::string_view key) { return settings.boolValue(key).value_or(true); }

QString trayText() {
    QString text = QStringLiteral("图标显示在桌面的系统托盘里（GNOME 需要 AppIndicator 扩展），把文件拖到它打开的面板上即可压缩。");
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        text += QStringLiteral("这个桌面没有系统托盘，所以关闭主窗口会退出 App。");
    return text;
}

}  // namespace

GeneralSettings::GeneralSettings(SettingsStore& settings, QWidget* parent)
    : QWidget(parent),
      settings_(settings),
      showIcon_(new QCheckBox(QStringLiteral("在系统托盘显示图标"), this)),
      keepRunning_(new QCheckBox(QStringLiteral("关闭主窗口后继续在系统托盘运行"), this)),
      trayCaption_(new QLabel(trayText(), this)) {
    setObjectName(QStringLiteral("generalSettings"));
    showIcon_->setObjectName(QStringLiteral("showMenuBarIconSwitch"));
    keepRunning_->setObjectName(QStringLiteral("keepRunningSwitch"));
    trayCaption_->setObjectName(QStringLiteral("trayCaption"));
    trayCaption_->setWordWrap(true);
    trayCaption_->setForegroundRole(QPalette::PlaceholderText);
    QFont small = trayCaption_->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    trayCaption_->setFont(small);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->setSpacing(10);
    layout->addWidget(showIcon_);
    layout->addWidget(keepRunning_);
    layout->addWidget(trayCaption_);
    layout->addStretch(1);

    connect(showIcon_, &QCheckBox::toggled, this,
            [this](bool on) { store(SettingsKeys::showMenuBarIcon, on); });
    connect(keepRunning_, &QCheckBox::toggled, this,
            [this](bool on) { store(SettingsKeys::keepRunningInMenuBar, on); });
    // The store calls on the thread that made the change; the switches change on this one.
    subscription_ = settings_.observe([this](const SettingsStore::Change& change) {
        if (change.domain != settings_.applicationDomain()) return;
        const auto ours = [](const std::string& key) {
            return key == SettingsKeys::showMenuBarIcon || key == SettingsKeys::keepRunningInMenuBar;
        };
        if (std::any_of(change.keys.begin(), change.keys.end(), ours))
            QMetaObject::invokeMethod(this, [this] { refresh(); });
    });
    refresh();
}

void GeneralSettings::store(std::string_view key, bool on) {
    try {
        settings_.setValue(key, on);
    } catch (const std::exception& error) {
        qWarning("Dorvex: 保存设置失败 %s", error.what());
    }
    // Shows what the store holds, which is the old value when the write failed.
    refresh();
}

void GeneralSettings::refresh() {
    const QSignalBlocker blockShow(showIcon_);
    const QSignalBlocker blockKeep(keepRunning_);
    showIcon_->setChecked(isOn(settings_, SettingsKeys::showMenuBarIcon));
    keepRunning_->setChecked(isOn(settings_, SettingsKeys::keepRunningInMenuBar));
    keepRunning_->setEnabled(showIcon_->isChecked());
}

}  // namespace dorvex::app
