// The shell: start-up in its order with temporary XDG folders, the windows it makes, the tray icon
// following its setting, the quit rule, and the ways out of the main window: its menu and closing
// it. (Later starts: ShellSingleInstanceTest.)

#include <QAction>
#include <QApplication>
#include <QSignalSpy>
#include <QSystemTrayIcon>

#include "AppTestSupport.h"
#include "dorvex/platform/AppPaths.h"
#include "model/AppModel.h"
#include "model/ObservablePresetStore.h"
#include "shell/AppShell.h"
#include "shell/SettingsWindow.h"
#include "shell/TrayIcon.h"
#include "views/CompareWindow.h"
#include "views/window/MainWindow.h"

using namespace dorvex;
using namespace dorvex::app;
namespace fs = std::filesystem;

class ShellAppTest : public QObject {
    Q_OBJECT

private slots:
    void startUpCarriesOverThenBuildsInOrder() {
        // The earlier product's preferences choose its web preset: the store must be made after
        // they were carried over to see it.
        {
            SettingsStore legacy(AppPaths::settingsFolder());
            legacy.setPersistentDomain({{"selectedPresetID", PresetLibrary::webID.text()},
                                        {"showMenuBarIcon", false}},
                                       legacySettingsDomain);
        }
        AppShell shell;
        QCOMPARE(shell.presets().selectedID(), PresetLibrary::webID);
        QVERIFY(fs::exists(AppPaths::presetsFile()) || shell.presets().library() == PresetLibrary::initial());
        QCOMPARE(shell.settings().boolValue(SettingsKeys::keepRunningInMenuBar), std::optional<bool>(true));
        // The encoders come from the application's own folder first: the bundled cjpeg.
        const auto cjpeg = shell.model().toolchain().path(Toolchain::Tool::cjpeg);
        QVERIFY(cjpeg && cjpeg->find("/lib/dorvex/bin/") != std::string::npos);

        QCOMPARE(shell.mainWindow().windowTitle(), "Dorvex");
        QCOMPARE(shell.mainWindow().size(), QSize(760, 520));
        QCOMPARE(shell.compareWindow().windowTitle(), "对比");
        QCOMPARE(shell.compareWindow().size(), QSize(960, 720));
        QCOMPARE(shell.settingsWindow().size(), QSize(480, 370));
        // The model opens the windows that the shell made.
        shell.model().openSettings();
        QVERIFY(shell.settingsWindow().isVisible());
        shell.model().openWindow();
        QVERIFY(shell.mainWindow().isVisible());

        // The carried-over setting hides the tray icon; it follows the setting at once.
        QVERIFY(shell.trayIcon() == nullptr);
        shell.settings().setValue(SettingsKeys::showMenuBarIcon, true);
        QTRY_VERIFY(shell.trayIcon() != nullptr);
        if (QSystemTrayIcon::isSystemTrayAvailable()) {
            qInfo("a system tray is available: the icon must show in it");
            QTRY_VERIFY(shell.trayIcon()->icon()->isVisible());
        }
        shell.settings().setValue(SettingsKeys::showMenuBarIcon, false);
        QTRY_VERIFY(shell.trayIcon() == nullptr);
    }

    void quitRule() {
        struct Case {
            bool tray, keepRunning, available, quits;
        };
        const Case cases[] = {
            {true, true, true, false},  {true, false, true, true},   {false, true, true, true},
            {false, false, true, true}, {true, true, false, true},   {true, false, false, true},
            {false, true, false, true}, {false, false, false, true},
        };
        for (const Case& c : cases) {
            QCOMPARE(AppShell::quitsWhenLastWindowCloses(c.tray, c.keepRunning, c.available), c.quits);
        }
    }

    // The menu's "设置…" opens the shell's settings window even where no tray can show the icon.
    void mainMenuOpensSettings() {
        AppShell shell;
        shell.showMainWindow();
        shell.mainWindow().findChild<QAction*>("settingsAction")->trigger();
        QVERIFY(shell.settingsWindow().isVisible());
    }

    // The icon was the way back to the hidden application: turned off, the main window shows.
    void iconTurnedOffWhileHiddenShowsTheWindow() {
        AppShell shell;
        shell.settings().setValue(SettingsKeys::showMenuBarIcon, true);
        QTRY_VERIFY(shell.trayIcon() != nullptr);
        QVERIFY(!shell.mainWindow().isVisible());
        shell.settings().setValue(SettingsKeys::showMenuBarIcon, false);
        QTRY_VERIFY(shell.trayIcon() == nullptr);
        QVERIFY(shell.mainWindow().isVisible());
    }

    // Whether the application ends, in its event loop, after `act`: the queued quit runs before a
    // check queued after it, which ends the loop with 3 when no quit came.
    static bool quitsAfter(const std::function<void()>& act) {
        struct QuitSeen : QObject {
            bool seen = false;
            bool eventFilter(QObject*, QEvent* event) override {
                if (event->type() == QEvent::Quit) seen = true;
                return false;
            }
        } filter;
        qApp->installEventFilter(&filter);
        QMetaObject::invokeMethod(qApp, [&] {
            act();
            QMetaObject::invokeMethod(qApp, [&] { if (!filter.seen) QCoreApplication::exit(3); }, Qt::QueuedConnection);
        }, Qt::QueuedConnection);
        const int status = QApplication::exec();
        qApp->removeEventFilter(&filter);
        return filter.seen && status == 0;
    }

    // Closing the main window never leaves the application hidden without a tray icon to come back
    // by; "退出" always ends it. (Last: the loop's end stops the engine.)
    void waysOutOfTheMainWindow() {
        const bool tray = QSystemTrayIcon::isSystemTrayAvailable();
        struct Case {
            const char* name;
            bool showIcon;
            bool byMenu;
            bool quits;
        };
        const Case cases[] = {
            {"closed, icon on", true, false, !tray},
            {"closed, icon off", false, false, true},
            {"退出, icon on", true, true, true},
        };
        for (const Case& c : cases) {
            AppShell shell;
            shell.settings().setValue(SettingsKeys::showMenuBarIcon, c.showIcon);
            QTRY_COMPARE(shell.trayIcon() != nullptr, c.showIcon);
            shell.showMainWindow();
            QVERIFY(QTest::qWaitForWindowExposed(&shell.mainWindow()));
            const bool quit = quitsAfter([&] {
                if (c.byMenu) shell.mainWindow().findChild<QAction*>("quitAction")->trigger();
                else shell.mainWindow().close();
            });
            QVERIFY2(quit == c.quits, c.name);
        }
    }
};

int main(int argc, char** argv) {
    dorvex::app::testing::TestHome home;
    QApplication application(argc, argv);
    ShellAppTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "ShellAppTest.moc"
