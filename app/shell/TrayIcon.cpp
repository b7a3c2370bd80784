#include "shell/TrayIcon.h"

#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>

#include "model/AppModel.h"
#include "shell/TrayPanel.h"
#include "views/ThemeIcon.h"

namespace dorvex::app {

TrayIcon::TrayIcon(AppModel& model, QObject* parent)
    : QObject(parent),
      panel_(std::make_unique<TrayPanel>(model)),
      menu_(std::make_unique<QMenu>()),
      icon_(new QSystemTrayIcon(this)) {
    setObjectName(QStringLiteral("trayIcon"));
    QIcon symbol = QIcon::fromTheme(QStringLiteral("local.dorvex.app-symbolic"));
    if (symbol.isNull()) symbol = themeIcon(QStringLiteral("local.dorvex.app"), QStringLiteral("tray.svg"));
    icon_->setIcon(symbol);
    icon_->setToolTip(QStringLiteral("Dorvex"));

    menu_->setObjectName(QStringLiteral("trayMenu"));
    menu_->addAction(QStringLiteral("打开主窗口"), &model, &AppModel::openWindow);
    menu_->addAction(QStringLiteral("设置…"), &model, &AppModel::openSettings);
    menu_->addSeparator();
    menu_->addAction(QStringLiteral("退出"), this, &TrayIcon::quitRequested);
    icon_->setContextMenu(menu_.get());

    connect(panel_.get(), &TrayPanel::quitRequested, this, &TrayIcon::quitRequested);
    connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger) togglePanel();
    });
    icon_->show();
}

TrayIcon::~TrayIcon() {
    // The icon leaves the tray before its menu goes.
    icon_->hide();
    icon_->setContextMenu(nullptr);
    panel_->close();
}

void TrayIcon::togglePanel() {
    // The click on the icon may have closed the open panel before the icon reports it (the
    // icon's own window took the focus): that click was meant to close it, not to open it again.
    if (panel_->isVisible() || panel_->justClosed()) {
        panel_->close();
        return;
    }
    // The icon's place is known only with the older XEmbed trays; elsewhere the panel opens at
    // the cursor, which has just clicked the icon.
    const QRect geometry = icon_->geometry();
    panel_->showNear(geometry.isValid() && !geometry.isEmpty() ? geometry : QRect(QCursor::pos(), QSize(1, 1)));
}

}  // namespace dorvex::app
