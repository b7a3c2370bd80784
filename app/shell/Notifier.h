#pragma once
// Notifier: a desktop notification — a title, a line of text, the application's icon and one
// action. DesktopNotifier shows it through the desktop's notification service
// (org.freedesktop.Notifications over the session bus: GNOME Shell, Plasma, XFCE's, dunst, mako).

#include <QObject>
#include <QString>

#include <functional>

namespace dorvex::app {

class Notifier {
public:
    struct Notice {
        QString title;
        QString body;
        QString actionText;  // the button of the one action
        bool operator==(const Notice&) const = default;
    };

    virtual ~Notifier() = default;
    // Shows the notice in place of the one shown before, if that is still there. `onAction` runs
    // on the main thread when the notice or its action is clicked.
    virtual void show(const Notice& notice, std::function<void()> onAction) = 0;
};

class DesktopNotifier final : public QObject, public Notifier {
    Q_OBJECT

public:
    static constexpr char service[] = "org.freedesktop.Notifications";
    static constexpr char path[] = "/org/freedesktop/Notifications";

    // `bus`: the name of a connection made with QDBusConnection::connectToBus; none for the
    // session bus, which is reached only when a notice is first shown.
    explicit DesktopNotifier(QString bus = {}, QObject* parent = nullptr);

    // Never waits for the service. Without a session bus or a notification service nothing
    // shows, and nothing is said: the tray icon and the main window tell the same.
    void show(const Notice& notice, std::function<void()> onAction) override;

private slots:
    void actionInvoked(uint id, const QString& action);
    void notificationClosed(uint id, uint reason);

private:
    QString bus_;
    bool listening_ = false;
    uint shown_ = 0;  // the service's number of our notice on screen; 0 for none
    std::function<void()> onAction_;
};

}  // namespace dorvex::app
