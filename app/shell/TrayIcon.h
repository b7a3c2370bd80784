#pragma once
// TrayIcon: the application's icon in the desktop's system tray while the setting asks for it. A
// click opens or closes the TrayPanel beside it; its menu opens the main window or the settings
// and quits. Destroying it removes the icon and closes the panel. Icon and tooltip follow the
// model: idle, compressing ("Dorvex · 正在压缩 3/40") or over with failures (TrayStatus).

#include <QObject>

#include <memory>

#include "shell/TrayStatus.h"

class QMenu;
class QSystemTrayIcon;

namespace dorvex::app {

class AppModel;
class TrayPanel;

class TrayIcon : public QObject {
    Q_OBJECT

public:
    // Shows the icon at once.
    explicit TrayIcon(AppModel& model, QObject* parent = nullptr);
    ~TrayIcon() override;

    QSystemTrayIcon* icon() const { return icon_; }
    TrayPanel* panel() const { return panel_.get(); }
    TrayState state() const { return state_; }

    // Opens the panel beside the icon (or the cursor), or closes it when it is open.
    void togglePanel();

signals:
    // "退出" was chosen in the panel or the menu.
    void quitRequested();

protected:
    // A new palette (the desktop turned dark) redraws the icon in its text colour.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void refresh();
    void setIcon();

    AppModel& model_;
    TrayState state_ = TrayState::idle;
    // The panel and the menu are top-level widgets, owned here rather than by a parent.
    std::unique_ptr<TrayPanel> panel_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon* icon_;
};

}  // namespace dorvex::app
