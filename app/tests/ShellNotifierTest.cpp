// Desktop notices over D-Bus: a bus of the test's own (dbus-daemon in a private folder) with a
// notification service answering on it, as the desktop's would. Skipped without dbus-daemon.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "AppTestSupport.h"
#include "shell/Notifier.h"

using namespace dorvex::app;

namespace {

// The service's side of org.freedesktop.Notifications: it keeps each Notify call and numbers it.
class NotificationService : public QObject {
    Q_OBJECT

public:
    QList<QVariantList> calls;

public slots:
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& title, const QString& body,
                const QStringList& actions, const QVariantMap& hints, int timeout) {
        calls << QVariantList{app, replaces, icon, title, body, actions, hints, timeout};
        return uint(calls.size() + 6);
    }
};

// On the notifier's connection: a call to it reaches the main thread after every signal sent before
// it, so once it is answered those signals have been handled.
class Barrier : public QObject {
    Q_OBJECT

public slots:
    void Pass() {}
};

}  // namespace

class ShellNotifierTest : public QObject {
    Q_OBJECT

private slots:
    void noticeAndItsActionOverTheBus() {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty()) QSKIP("no dbus-daemon here");
        QTemporaryDir folder;
        QProcess bus;  // ends the daemon when it goes
        bus.start(daemon, {"--session", "--nofork", "--print-address=1", "--address=unix:dir=" + folder.path()});
        QVERIFY(bus.waitForReadyRead(10000));
        const QString address = QString::fromUtf8(bus.readLine()).trimmed();
        QDBusConnection serving = QDBusConnection::connectToBus(address, "service");
        QDBusConnection client = QDBusConnection::connectToBus(address, "client");
        NotificationService service;
        QVERIFY(serving.registerObject(DesktopNotifier::path, DesktopNotifier::service, &service,
                                       QDBusConnection::ExportAllSlots));
        QVERIFY(serving.registerService(DesktopNotifier::service));

        DesktopNotifier notifier("client");
        int actions = 0;
        const Notifier::Notice notice{"压缩完成", "2 张 · 已完成 2", "打开主窗口"};
        notifier.show(notice, [&] { ++actions; });
        QTRY_COMPARE(service.calls.size(), 1);
        const QVariantList call = service.calls.front();
        QCOMPARE(call.mid(0, 5), (QVariantList{"Dorvex", 0U, "local.dorvex.app", "压缩完成", "2 张 · 已完成 2"}));
        QCOMPARE(call[5].toStringList(), QStringList({"default", "打开主窗口", "show", "打开主窗口"}));
        const QVariantMap hints = call[6].toMap();
        QCOMPARE(hints.value("desktop-entry").toString(), "local.dorvex.app");
        QVERIFY(hints.contains("image-data"));  // no icon theme here: the icon goes along

        // A click on the notice, on another application's notice, and on the button.
        Barrier barrier;
        QVERIFY(client.registerObject("/barrier", &barrier, QDBusConnection::ExportAllSlots));
        for (const auto& [id, action] : {std::pair{7U, "default"}, std::pair{9U, "default"}, std::pair{7U, "show"}}) {
            QDBusMessage signal = QDBusMessage::createSignal(DesktopNotifier::path, DesktopNotifier::service, "ActionInvoked");
            signal << id << QString::fromLatin1(action);
            QVERIFY(serving.send(signal));
        }
        const QDBusPendingCall passed = serving.asyncCall(QDBusMessage::createMethodCall(client.baseService(), "/barrier", {}, "Pass"));
        QTRY_VERIFY(passed.isFinished());
        QVERIFY(!passed.isError());
        QCOMPARE(actions, 2);
        // The next notice takes the place of the first.
        notifier.show(notice, [] {});
        QTRY_COMPARE(service.calls.size(), 2);
        QCOMPARE(service.calls.back()[1].toUInt(), 7U);
        QDBusConnection::disconnectFromBus("client");
        QDBusConnection::disconnectFromBus("service");
        bus.terminate();
        bus.waitForFinished();
    }
};

DORVEX_APP_TEST_MAIN(ShellNotifierTest)
#include "ShellNotifierTest.moc"
