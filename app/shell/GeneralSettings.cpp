#include "shell/GeneralSettings.h"

#include <QLabel>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

#include "model/UiText.h"
#include "shell/SettingSwitch.h"

namespace dorvex::app {

namespace {

// Two texts rather than a sentence added to the first: languages part their sentences differently.
QString trayText() {
    if (QSystemTrayIcon::isSystemTrayAvailable())
        return ui("图标显示在桌面的系统托盘里（GNOME 需要 AppIndicator 扩展），把文件拖到它打开的面板上即可压缩。");
    return ui("图标显示在桌面的系统托盘里（GNOME 需要 AppIndicator 扩展），把文件拖到它打开的面板上即可压缩。"
              "这个桌面没有系统托盘，所以关闭主窗口会退出 App。");
}

}  // namespace

GeneralSettings::GeneralSettings(SettingsStore& settings, QWidget* parent)
    : QWidget(parent),
      showIcon_(new SettingSwitch(ui("在系统托盘显示图标"), settings, SettingsKeys::showMenuBarIcon, this)),
      keepRunning_(new SettingSwitch(ui("关闭主窗口后继续在系统托盘运行"), settings,
                                     SettingsKeys::keepRunningInMenuBar, this)),
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

    // Keeping the application in the tray means nothing without the icon.
    keepRunning_->setEnabled(showIcon_->isChecked());
    connect(showIcon_, &QCheckBox::toggled, keepRunning_, &QWidget::setEnabled);
}

}  // namespace dorvex::app
