// The settings window: its switches following the settings store both ways, and the encoder rows
// for a tool that answers, one that fails and one that is absent.

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QTabWidget>

#include <fstream>
#include <thread>

#include "AppTestSupport.h"
#include "dorvex/platform/AppPaths.h"
#include "shell/SettingsWindow.h"
#include "views/window/EncoderBanner.h"

using namespace dorvex;
using namespace dorvex::app;
namespace fs = std::filesystem;

namespace {

std::string script(const fs::path& file, const std::string& body) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(file, fs::perms::owner_all);
    return file.string();
}

}  // namespace

class ShellSettingsWindowTest : public QObject {
    Q_OBJECT

private slots:
    void generalSwitchesFollowTheStore() {
        SettingsStore settings(AppPaths::homeFolder() / "general");
        SettingsWindow window(settings, Toolchain{});
        auto* showIcon = window.findChild<QCheckBox*>("showMenuBarIconSwitch");
        auto* keepRunning = window.findChild<QCheckBox*>("keepRunningSwitch");
        QVERIFY(showIcon->isChecked() && keepRunning->isChecked() && keepRunning->isEnabled());

        showIcon->click();
        QCOMPARE(settings.boolValue(SettingsKeys::showMenuBarIcon), std::optional<bool>(false));
        QVERIFY(!keepRunning->isEnabled());
        QVERIFY(keepRunning->isChecked());

        // Changed elsewhere, on another thread.
        std::thread([&] {
            settings.setValue(SettingsKeys::showMenuBarIcon, true);
            settings.setValue(SettingsKeys::keepRunningInMenuBar, false);
        }).join();
        QTRY_VERIFY(showIcon->isChecked() && keepRunning->isEnabled() && !keepRunning->isChecked());
    }

    // The encoders page's scoring switch: on for a settings file from before it, stored off by a
    // click, and following a change made elsewhere.
    void scoringSwitchFollowsTheStore() {
        SettingsStore settings(AppPaths::homeFolder() / "scoring");
        settings.setValue(SettingsKeys::showMenuBarIcon, false);
        SettingsWindow window(settings, Toolchain{});
        auto* score = window.findChild<QCheckBox*>("perceptualScoreSwitch");
        QVERIFY(score->isChecked());
        score->click();
        QCOMPARE(settings.boolValue(SettingsKeys::perceptualScore), std::optional<bool>(false));
        std::thread([&] { settings.removeValue(SettingsKeys::perceptualScore); }).join();
        QTRY_VERIFY(score->isChecked());
    }

    void encoderRows() {
        const fs::path tools = AppPaths::homeFolder() / "tools";
        Toolchain toolchain;
        toolchain.cjpeg = script(tools / "cjpeg", "[ \"$1\" = -version ] && echo 'mozjpeg version 4.1.5' >&2");
        toolchain.cwebp = script(tools / "cwebp", "exit 1");
        SettingsStore settings(AppPaths::homeFolder() / "encoders");
        SettingsWindow window(settings, toolchain);
        const auto text = [&](const char* name) { return window.findChild<QLabel*>(name)->text(); };
        QCOMPARE(text("cjpegVersion"), QStringLiteral("检测中…"));
        window.show();
        window.tabs()->setCurrentIndex(1);
        QTRY_COMPARE(text("cjpegVersion"), QStringLiteral("mozjpeg version 4.1.5"));
        QCOMPARE(text("cjpegPath"), QString::fromStdString(*toolchain.cjpeg));
        QTRY_COMPARE(text("cwebpVersion"), QStringLiteral("无法运行"));
        for (const char* absent : {"pngquant", "cjxl"}) {
            QCOMPARE(text(qPrintable(QString(absent) + "Version")), QStringLiteral("未找到"));
            QCOMPARE(text(qPrintable(QString(absent) + "Path")), encoderInstallHint());
        }
    }
};

int main(int argc, char** argv) {
    dorvex::app::testing::TestHome home;
    QApplication application(argc, argv);
    ShellSettingsWindowTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "ShellSettingsWindowTest.moc"
