// The shell: start-up in its order with temporary XDG folders, the windows it makes, the tray icon
// following its setting, an item opened from the tray panel, the quit rule, and the ways out of the
// main window: its menu and closing it. (Later starts: ShellSingleInstanceTest.)

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QSignalSpy>
#include <QSystemTrayIcon>

#include "AppTestSupport.h"
#include "dorvex/platform/AppPaths.h"
#include "model/AppModel.h"
#include "model/ObservablePresetStore.h"
#include "shell/AppShell.h"
#include "shell/SettingsWindow.h"
#include "shell/TrayIcon.h"
#include "shell/TrayPanel.h"
#include "views/CompareWindow.h"
#include "views/RowContent.h"
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

    // A click on a finished picture in the tray panel compares it, as the main window's list does,
    // without bringing up the main window; a line still at work takes no click.
    void trayPanelOpensTheCompareWindow() {
        AppShell shell;
        shell.settings().setValue(SettingsKeys::showMenuBarIcon, true);
        QTRY_VERIFY(shell.trayIcon() != nullptr);
        TrayPanel& panel = *shell.trayIcon()->panel();
        auto* row = panel.findChild<QAbstractButton*>("recentRow0");
        const fs::path source = testing::writePng(AppPaths::homeFolder() / "shell" / "tray.png", 8);
        shell.model().add(std::vector{source});
        panel.showNear(QRect(100, 100, 1, 1));
        QTest::mouseClick(row, Qt::LeftButton);
        QVERIFY(panel.isVisible() && !shell.compareWindow().isVisible());
        QTRY_COMPARE(shell.model().summary().finishedCount, 1);  // the engine is done with the item
        CompressionResult result;
        result.status = CompressionResult::Success{};
        result.sourceBytes = 100;
        result.outputBytes = 60;
        result.output = source;
        CompressionItem* item = shell.model().items().front();
        item->setState(CompressionItem::Finished{result});
        // The change keeps its green on the clickable line.
        const QImage status = row->findChild<QLabel*>("recentStatus")->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const QRgb green = tagColor(Format::TagColor::green).rgb();
        bool drawnGreen = false;
        for (int y = 0; y < status.height(); ++y)
            for (int x = 0; x < status.width(); ++x) drawnGreen = drawnGreen || status.pixel(x, y) == green;
        QVERIFY(drawnGreen);
        QTest::mouseClick(row, Qt::LeftButton);
        QVERIFY(shell.compareWindow().isVisible() && !panel.isVisible());
        QVERIFY(shell.model().compareItemID() == item->id());
        QVERIFY(!shell.mainWindow().isVisible());
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

    // The icon was the way back to the hidden application: turned off, the main window shows.
    void iconTurnedOffWhileHiddenShowsTheWindow() {
        AppShell shell;
        shell.settings().setValue(SettingsKeys::showMenuBarIcon, true);
        QTRY_VERIFY(shell.trayIcon() != nullptr && !shell.mainWindow().isVisible());
        shell.settings().setValue(SettingsKeys::showMenuBarIcon, false);
        QTRY_VERIFY(shell.trayIcon() == nullptr);
        QVERIFY(shell.mainWindow().isVisible());
    }

    // Closing the main window ends the application unless a tray shows its icon; "退出" always
    // does. In the event loop: a check queued after the action ends it when no quit came.
    // (Last: the loop's end stops the engine.)
    void waysOutOfTheMainWindow() {
        struct QuitSeen : QObject {
            bool seen = false;
            bool eventFilter(QObject*, QEvent* event) override {
                seen = seen || event->type() == QEvent::Quit;
                return false;
            }
        };
        const bool tray = QSystemTrayIcon::isSystemTrayAvailable();
        const struct {
            bool showIcon, byMenu, quits;
        } cases[] = {{true, false, !tray}, {false, false, true}, {true, true, true}};
        for (const auto& c : cases) {
            AppShell shell;
            shell.settings().setValue(SettingsKeys::showMenuBarIcon, c.showIcon);
            QTRY_COMPARE(shell.trayIcon() != nullptr, c.showIcon);
            shell.showMainWindow();
            QuitSeen quit;
            qApp->installEventFilter(&quit);
            // Both calls belong to `quit`: one still queued when this case ends goes with it.
            QMetaObject::invokeMethod(&quit, [&] {
                if (c.byMenu) shell.mainWindow().findChild<QAction*>("quitAction")->trigger();
                else shell.mainWindow().close();
                QMetaObject::invokeMethod(&quit, [&] { if (!quit.seen) QCoreApplication::exit(); }, Qt::QueuedConnection);
            }, Qt::QueuedConnection);
            QApplication::exec();
            qApp->removeEventFilter(&quit);
            QCOMPARE(quit.seen, c.quits);
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
