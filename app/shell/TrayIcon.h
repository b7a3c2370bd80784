#pragma once
// TrayIcon: the application's icon in the desktop's system tray while the setting asks for it. A
// click opens or closes the TrayPanel beside it; its menu opens the main window or the settings
// and quits. Destroying it removes the icon and closes the panel.

#include <QObject>

#include <memory>

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

    // Opens the panel beside the icon (or the cursor), or closes it when it is open.
    void togglePanel();

signals:
    // "退出" was chosen in the panel or the menu.
    void quitRequested();

private:
    // The panel and the menu are top-level widgets, owned here rather than by a parent.
    std::unique_ptr<TrayPanel> panel_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon* icon_;
};

}  // namespace dorvex::app
