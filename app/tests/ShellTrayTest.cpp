// The tray: the icon's state and tooltip following the model, the notice at the end of the work
// while no window shows, the panel's short status of an item, the three newest items, drops onto
// the panel, where the panel opens, and the icon's click opening and closing it
// (with a tray host only).

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QSystemTrayIcon>

#include "AppTestSupport.h"
#include "dorvex/platform/AppPaths.h"
#include "model/AppModel.h"
#include "shell/BatchNotifier.h"
#include "shell/ItemStatus.h"
#include "shell/TrayDropZone.h"
#include "shell/TrayIcon.h"
#include "shell/TrayPanel.h"

using namespace dorvex;
using namespace dorvex::app;
namespace fs = std::filesystem;

namespace {

CompressionResult finished(CompressionResult::Status status, std::int64_t source, std::int64_t output) {
    CompressionResult r;
    r.status = std::move(status);
    r.sourceBytes = source;
    r.outputBytes = output;
    return r;
}

// Keeps what would have been shown on the desktop.
struct RecordingNotifier : Notifier {
    std::vector<Notice>& shown;
    std::function<void()>& action;
    RecordingNotifier(std::vector<Notice>& notices, std::function<void()>& onAction) : shown(notices), action(onAction) {}
    void show(const Notice& notice, std::function<void()> onAction) override {
        shown.push_back(notice);
        action = std::move(onAction);
    }
};

// The middle of the icon's top arrowhead at 16 px, opaque in every state.
QColor arrowhead(const QIcon& icon) { return icon.pixmap(16, 16).toImage().pixelColor(8, 1); }

QStringList recentNames(const TrayPanel& panel) {
    QStringList names;
    for (int i = 0; i < TrayPanel::recentCount; ++i) {
        auto* row = panel.findChild<QWidget*>(QStringLiteral("recentRow%1").arg(i));
        if (!row->isHidden()) names << row->findChild<QLabel*>("recentName")->text();
    }
    return names;
}

}  // namespace

class ShellTrayTest : public QObject {
    Q_OBJECT

    std::unique_ptr<SettingsStore> settings;
    std::unique_ptr<ObservablePresetStore> presets;

    fs::path media() const { return AppPaths::homeFolder() / "tray"; }

private slots:
    void initTestCase() {
        settings = std::make_unique<SettingsStore>(AppPaths::settingsFolder());
        presets = std::make_unique<ObservablePresetStore>(AppPaths::presetsFile(), *settings);
    }

    void iconStateAndToolTipOfTheWork() {
        using Summary = AppModel::Summary;
        using Progress = AppModel::Progress;
        struct Case {
            const char* name;
            Summary summary;
            std::optional<Progress> progress;
            std::optional<int> collected;
            TrayState state;
            QString toolTip;
        };
        const Case cases[] = {
            {"nothing listed", {}, {}, {}, TrayState::idle, "Dorvex"},
            {"walking a folder", {}, {}, 120, TrayState::working, "Dorvex · 正在查找文件… 120"},
            {"compressing", {40, 3, 100, 1000, 0, true}, Progress{3, 40, 65}, {}, TrayState::working, "Dorvex · 正在压缩 3/40"},
            {"compressing, one failed", {40, 3, 0, 0, 1, true}, Progress{3, 40, {}}, {}, TrayState::working,
             "Dorvex · 正在压缩 3/40"},
            {"a second run", {45, 41, 0, 0, 0, true}, Progress{1, 5, {}}, {}, TrayState::working, "Dorvex · 正在压缩 1/5"},
            {"compressing and walking", {5, 1, 0, 0, 0, true}, Progress{1, 5, {}}, 7, TrayState::working,
             "Dorvex · 正在压缩 1/5 · 正在查找文件… 7"},
            {"done", {2, 2, 0, 0, 0, false}, {}, {}, TrayState::idle, "Dorvex · 2 个文件 · 已完成 2"},
            {"done, one failed", {3, 3, 0, 0, 1, true}, {}, {}, TrayState::failed, "Dorvex · 3 张 · 已完成 3 · 失败 1"},
        };
        for (const Case& c : cases) {
            QVERIFY2(trayState(c.summary, c.collected.has_value()) == c.state, c.name);
            QCOMPARE(trayToolTip(c.summary, c.progress, 0, c.collected), c.toolTip);
        }
        // Each state looks different, in the colour asked for.
        const QColor colour(0x12, 0x34, 0x56);
        QList<QImage> looks;
        for (const TrayState state : {TrayState::idle, TrayState::working, TrayState::failed}) {
            const QIcon icon = trayIcon(state, colour);
            QCOMPARE(arrowhead(icon), colour);
            QVERIFY(!looks.contains(icon.pixmap(16, 16).toImage()));
            looks << icon.pixmap(16, 16).toImage();
        }
    }

    // Without encoders every file fails: the icon shows the work, then the failure, then idle.
    void trayIconFollowsTheModel() {
        AppModel model(*presets, Toolchain{}, 2);
        TrayIcon tray(model);
        QCOMPARE(tray.state(), TrayState::idle);
        QCOMPARE(tray.icon()->toolTip(), "Dorvex");
        model.add(std::vector<fs::path>{testing::writePng(media() / "icon.png", 8)});
        QCOMPARE(tray.state(), TrayState::working);
        QCOMPARE(tray.icon()->toolTip(), "Dorvex · 正在压缩 0/1");
        QTRY_COMPARE(tray.state(), TrayState::failed);
        QCOMPARE(tray.icon()->toolTip(), "Dorvex · 1 张 · 已完成 1 · 失败 1");
        QCOMPARE(arrowhead(tray.icon()->icon()), QGuiApplication::palette().color(QPalette::WindowText));
        model.clear();
        QCOMPARE(tray.state(), TrayState::idle);
        QCOMPARE(tray.icon()->toolTip(), "Dorvex");
    }

    // The end of the work is told on the desktop only while no window of ours shows.
    void noticeWhenTheWorkEndsUnseen() {
        struct Case {
            const char* name;
            std::function<void(QWidget&)> window;
            bool notifies;
        };
        const Case cases[] = {
            {"a window shows", [](QWidget& w) { w.show(); }, false},
            {"no window", [](QWidget&) {}, true},
            {"the window minimized", [](QWidget& w) { w.showMinimized(); }, true},
        };
        for (const Case& c : cases) {
            std::vector<Notifier::Notice> shown;
            std::function<void()> action;
            int windowOpened = 0;
            AppModel model(*presets, Toolchain{}, 2);
            BatchNotifier notifier(model, std::make_unique<RecordingNotifier>(shown, action), [&] { ++windowOpened; });
            QWidget window;
            c.window(window);
            model.add(std::vector<fs::path>{testing::writePng(media() / "notice.png", 8)});
            QTRY_COMPARE(model.summary().finishedCount, 1);
            QVERIFY2(shown.size() == (c.notifies ? 1U : 0U), c.name);
            if (!c.notifies) continue;
            QCOMPARE(shown.front(), (Notifier::Notice{"有文件压缩失败", "1 张 · 已完成 1 · 失败 1", "打开主窗口"}));
            action();
            QCOMPARE(windowOpened, 1);
            model.clear();  // an emptied list is no end of work
            QCOMPARE(shown.size(), 1U);
        }
        AppModel::Summary done{2, 2, 300, 1000, 0, true};
        QCOMPARE(BatchNotifier::notice(done, 1)->title, "压缩完成");
        QVERIFY(!BatchNotifier::notice({}, 0));
    }

    void statusOfEachItem() {
        using Style = ItemStatus::Style;
        struct Case {
            std::optional<CompressionResult> result;
            ItemStatus expected;
        };
        const Case cases[] = {
            {std::nullopt, {"压缩中…", Style::secondary}},
            {finished(CompressionResult::Failed{"cannot decode"}, 100, 0), {"失败", Style::failure}},
            {finished(CompressionResult::Success{}, 100, 105), {"+5%", Style::grew}},
            {finished(CompressionResult::Success{}, 100, 100), {"+0%", Style::good}},
            {finished(CompressionResult::Success{}, 1000, 370), {"-63%", Style::good}},
            {finished(CompressionResult::Success{}, 1000, 998), {"+0%", Style::good}},  // -0.2 rounds to +0
            {finished(CompressionResult::Success{}, 0, 10), {"+0%", Style::good}},
            {finished(CompressionResult::Skipped{SkipReason::noSavings}, 100, 120), {"无收益，已保留原图", Style::secondary}},
            {finished(CompressionResult::Skipped{SkipReason::lossySource}, 1, 1), {"有损源，跳过无损 JXL", Style::secondary}},
            {finished(CompressionResult::Skipped{SkipReason::multiPage}, 1, 1), {"多页 TIFF，跳过无损 JXL", Style::secondary}},
            {finished(CompressionResult::Skipped{SkipReason::encrypted}, 1, 1), {"PDF 有密码，已跳过", Style::secondary}},
        };
        for (const Case& c : cases) {
            CompressionItem item(media() / "a.png", CompressionOptions{});
            if (c.result) item.setState(CompressionItem::Finished{*c.result});
            QCOMPARE(itemStatus(item).text, c.expected.text);
            QVERIFY2(itemStatus(item).style == c.expected.style, qPrintable(c.expected.text));
        }
        CompressionItem running(media() / "a.png", CompressionOptions{});
        running.begin();
        QCOMPARE(itemStatus(running).text, QStringLiteral("压缩中…"));
    }

    void newestThreeItems() {
        AppModel model(*presets, Toolchain{}, 2);
        TrayPanel panel(model);
        QVERIFY(panel.findChild<QLabel*>("recentCaption")->isHidden());
        QVERIFY(recentNames(panel).isEmpty());
        for (const char* name : {"1.png", "2.png", "3.png", "4.png"}) {
            model.add(std::vector<fs::path>{testing::writePng(media() / name, 8)});
        }
        QVERIFY(!panel.findChild<QLabel*>("recentCaption")->isHidden());
        QCOMPARE(recentNames(panel), QStringList({"4.png", "3.png", "2.png"}));
        model.clear();
        QVERIFY(panel.findChild<QLabel*>("recentCaption")->isHidden());
        QVERIFY(recentNames(panel).isEmpty());
    }

    void presetPickerFollowsTheStore() {
        AppModel model(*presets, Toolchain{}, 2);
        TrayPanel panel(model);
        auto* picker = panel.findChild<QComboBox*>("presetPicker");
        presets->select(PresetLibrary::webID);
        QCOMPARE(picker->currentText(), QStringLiteral("网页"));
        QTest::keyClick(picker, Qt::Key_Up);  // the user chooses the preset above
        QVERIFY(presets->selectedID() == PresetLibrary::defaultID);
        presets->saveCurrentAsNew("mine");
        QCOMPARE(picker->count(), int(presets->library().presets.size()));
        QCOMPARE(picker->currentText(), QStringLiteral("mine"));
        presets->remove(presets->selectedID());
        QCOMPARE(picker->currentText(), QStringLiteral("默认"));
    }

    void dropsOntoThePanel() {
        const fs::path png = testing::writePng(media() / "dropped.png", 8);
        struct Case {
            const char* name;
            QList<QUrl> urls;
            QString text;
            bool adds;
        };
        const Case cases[] = {
            {"a local file", {QUrl::fromLocalFile(QString::fromStdString(png.string()))}, {}, true},
            {"a local folder", {QUrl::fromLocalFile(QString::fromStdString(media().string()))}, {}, true},
            {"text", {}, "/tmp/x.png", false},
            {"a remote file", {QUrl("https://example.com/a.png")}, {}, false},
        };
        for (const Case& c : cases) {
            AppModel model(*presets, Toolchain{}, 2);
            TrayPanel panel(model);
            auto* zone = panel.findChild<TrayDropZone*>("trayDropZone");
            QMimeData data;
            if (!c.urls.isEmpty()) data.setUrls(c.urls);
            if (!c.text.isEmpty()) data.setText(c.text);
            QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(zone, &enter);
            QVERIFY2(enter.isAccepted() == c.adds && zone->isTargeted() == c.adds, c.name);
            QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(zone, &drop);
            QVERIFY2(drop.isAccepted() == c.adds && !zone->isTargeted(), c.name);
            QVERIFY2(zone->text() == (c.adds ? "正在查找文件… 0" : "拖到这里压缩"), c.name);
            QTRY_VERIFY2(model.items().isEmpty() != c.adds, c.name);
            QTRY_COMPARE(zone->text(), "拖到这里压缩");
        }
    }

    void buttonsAndEscapeClose() {
        AppModel model(*presets, Toolchain{}, 2);
        TrayPanel panel(model);
        QStringList opened;
        model.setWindowOpener([&] { opened << "window"; });
        model.setSettingsOpener([&] { opened << "settings"; });
        connect(&panel, &TrayPanel::quitRequested, this, [&] { opened << "quit"; });
        for (const char* name : {"openWindowButton", "openSettingsButton", "quitButton"}) {
            panel.showNear(QRect(100, 100, 1, 1));
            QVERIFY(QTest::qWaitForWindowExposed(&panel));
            panel.findChild<QPushButton*>(name)->click();
            QVERIFY2(!panel.isVisible(), name);
        }
        QCOMPARE(opened, QStringList({"window", "settings", "quit"}));
        panel.showNear(QRect(100, 100, 1, 1));
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        QTest::keyClick(&panel, Qt::Key_Escape);
        QVERIFY(!panel.isVisible());
    }

    void placementKeepsThePanelOnScreen() {
        const QRect screen(0, 0, 1920, 1080);
        const QSize size(300, 400);
        struct Case {
            const char* name;
            QRect anchor;
            QPoint expected;
        };
        const Case cases[] = {
            {"below an icon at the top", {1800, 0, 24, 24}, {1614, 30}},
            {"above an icon at the bottom", {900, 1056, 24, 24}, {761, 650}},
            {"a cursor in the middle", {960, 500, 1, 1}, {810, 507}},
            {"a cursor at the left edge", {0, 300, 1, 1}, {6, 307}},
        };
        for (const Case& c : cases) QVERIFY2(TrayPanel::placement(size, c.anchor, screen) == c.expected, c.name);
    }

    void iconClickOpensAndClosesThePanel() {
        if (!QSystemTrayIcon::isSystemTrayAvailable()) QSKIP("no system tray here");
        AppModel model(*presets, Toolchain{}, 2);
        auto tray = std::make_unique<TrayIcon>(model);
        QVERIFY(tray->icon()->isVisible());
        tray->togglePanel();
        QVERIFY(tray->panel()->isVisible());
        tray->togglePanel();
        QVERIFY(!tray->panel()->isVisible());
        // A click outside closes the panel just before the icon reports the same click.
        QTest::qWait(400);
        tray->togglePanel();
        tray->panel()->close();
        tray->togglePanel();
        QVERIFY(!tray->panel()->isVisible());
        QTest::qWait(400);
        tray->togglePanel();
        QPointer<TrayPanel> panel = tray->panel();
        tray.reset();
        QVERIFY(panel.isNull());
    }
};

int main(int argc, char** argv) {
    dorvex::app::testing::TestHome home;
    QApplication application(argc, argv);
    ShellTrayTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "ShellTrayTest.moc"
