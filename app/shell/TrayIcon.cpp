#include "shell/TrayIcon.h"

#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QPalette>
#include <QSystemTrayIcon>

#include "model/AppModel.h"
#include "model/UiText.h"
#include "shell/TrayPanel.h"

namespace dorvex::app {

TrayIcon::TrayIcon(AppModel& model, QObject* parent)
    : QObject(parent),
      model_(model),
      panel_(std::make_unique<TrayPanel>(model)),
      menu_(std::make_unique<QMenu>()),
      icon_(new QSystemTrayIcon(this)) {
    setObjectName(QStringLiteral("trayIcon"));
    connect(&model, &AppModel::summaryChanged, this, &TrayIcon::refresh);
    connect(&model, &AppModel::collectingChanged, this, &TrayIcon::refresh);
    connect(&model, &AppModel::ignoredCountChanged, this, &TrayIcon::refresh);
    qApp->installEventFilter(this);
    setIcon();
    refresh();

    menu_->setObjectName(QStringLiteral("trayMenu"));
    menu_->addAction(ui("打开主窗口"), &model, &AppModel::openWindow);
    menu_->addAction(ui("设置…"), &model, &AppModel::openSettings);
    menu_->addSeparator();
    menu_->addAction(ui("退出"), this, &TrayIcon::quitRequested);
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

void TrayIcon::refresh() {
    const AppModel::Summary summary = model_.summary();
    const TrayState state = trayState(summary, model_.collecting());
    if (state != state_) {
        state_ = state;
        setIcon();
    }
    const std::optional<int> collected = model_.collecting() ? std::optional(model_.collectedCount()) : std::nullopt;
    icon_->setToolTip(trayToolTip(summary, model_.progress(), model_.ignoredCount(), collected));
}

void TrayIcon::setIcon() { icon_->setIcon(trayIcon(state_, QGuiApplication::palette().color(QPalette::WindowText))); }

bool TrayIcon::eventFilter(QObject* watched, QEvent* event) {
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) setIcon();
    return QObject::eventFilter(watched, event);
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
