// The main window through its widgets: what shows with an empty and a filled list, drops, the
// option chips' titles, the preset pills and their prompts, the summary line, the primary menu,
// the remembered geometry and the failures' banner.

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QScreen>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QToolButton>

#include <fstream>

#include "AppTestSupport.h"
#include "dorvex/output/OutputPlanner.h"
#include "dorvex/platform/AppPaths.h"
#include "model/AppModel.h"
#include "views/ResultList.h"
#include "views/ThumbnailCache.h"
#include "views/options/ParameterChip.h"
#include "views/window/EncoderBanner.h"
#include "views/window/EmptyDropZone.h"
#include "views/window/MainWindow.h"
#include "views/window/NamePrompt.h"
#include "views/window/NoticeBanner.h"
#include "views/window/OptionBar.h"
#include "views/window/PresetBar.h"
#include "views/window/PresetPill.h"
#include "views/window/SummaryBar.h"

using namespace dorvex;
using namespace dorvex::app;
namespace fs = std::filesystem;

class ViewsMainWindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<SettingsStore> settings;
    std::unique_ptr<ObservablePresetStore> presets;
    std::unique_ptr<AppModel> model;
    std::unique_ptr<ThumbnailCache> thumbnails;
    std::unique_ptr<MainWindow> window;
    int chooserCalls = 0;
    QList<QUrl> chosen;  // what the file chooser answers

    // Drops `data` on the window's content; whether the drop was accepted.
    bool drop(QMimeData& data) {
        QWidget* target = window->centralWidget();
        const QPoint point = target->rect().center();
        QDragEnterEvent enter(point, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &enter);
        QDropEvent dropped(point, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &dropped);
        return dropped.isAccepted();
    }

    PresetPill* pill(const Uuid& id) const {
        for (PresetPill* pill : window->findChild<PresetBar*>()->pills()) {
            if (pill->preset().id == id) return pill;
        }
        return nullptr;
    }

    // The window and what it shows, over the settings kept in `settings`.
    void build(const fs::path& presetsFile = AppPaths::presetsFile()) {
        window.reset();
        model.reset();
        presets = std::make_unique<ObservablePresetStore>(presetsFile, *settings);
        model = std::make_unique<AppModel>(*presets, Toolchain::locate(), 2);
        window = std::make_unique<MainWindow>(*model, *settings, *thumbnails, [this](QWidget*, bool) {
            ++chooserCalls;
            return chosen;
        });
        window->show();
    }

private slots:
    void init() {
        fs::remove_all(AppPaths::dataHome());
        fs::remove_all(AppPaths::settingsFolder());
        settings = std::make_unique<SettingsStore>(AppPaths::settingsFolder());
        thumbnails = std::make_unique<ThumbnailCache>(80);
        chooserCalls = 0;
        chosen.clear();
        build();
    }
    void cleanup() {
        window.reset();
        model.reset();
        presets.reset();
        settings.reset();
    }

    void primaryMenuShortcutsWorkInTheWindow() {
        int settingsOpened = 0;
        model->setSettingsOpener([&] { ++settingsOpened; });
        QSignalSpy quits(window.get(), &MainWindow::quitRequested);
        QCOMPARE(window->findChild<QToolButton*>("primaryMenuButton")->menu()->actions().size(), 4);
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        QTest::keyClick(window->resultList(), Qt::Key_Comma, Qt::ControlModifier);
        QCOMPARE(settingsOpened, 1);
        QCOMPARE(quits.count(), 0);
        QTest::keyClick(window->resultList(), Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(quits.count(), 1);
    }

    // The next window takes the last one's place, moved back onto the screen when it was off it.
    void geometryRememberedWithinTheScreen() {
        const QRect screen = window->screen()->availableGeometry();
        for (const QPoint& place : {screen.topLeft() + QPoint(30, 20), screen.bottomRight() + QPoint(4000, 3000)}) {
            const QRect placed(place, QSize(700, 450));
            window->setGeometry(placed);
            window->close();
            build();
            QCOMPARE(window->size(), placed.size());
            QVERIFY(screen.contains(placed) ? window->geometry() == placed : screen.intersects(window->frameGeometry()));
        }
    }

    void failuresReachTheBanner() {
        NoticeBanner* banner = window->noticeBanner();
        emit model->flushFailureChanged();  // the flush went well: nothing to tell
        QVERIFY(!banner->isVisible());
        emit model->foldersUnreadable({"/srv/a：无法读取这个文件夹（没有读取权限）"});
        QCOMPARE(banner->notices(), QStringList({"有些文件夹无法读取：\n/srv/a：无法读取这个文件夹（没有读取权限）"}));

        // Under a plain file, presets cannot be saved, whoever runs the test: told once.
        std::ofstream(AppPaths::homeFolder() / "not-a-folder") << "x";
        build(AppPaths::homeFolder() / "not-a-folder" / "presets.json");
        banner = window->noticeBanner();
        presets->saveCurrentAsNew("社交");
        presets->saveCurrentAsNew("社交 2");
        QCOMPARE(banner->notices().size(), 1);
        QVERIFY(banner->isVisible() && banner->notices().front().startsWith("预设未能保存："));
        window->findChild<QToolButton*>("noticeBannerClose")->click();
        QVERIFY(!banner->isVisible() && banner->notices().isEmpty());
    }

    void emptyAndFilledList() {
        auto* clear = window->findChild<QAction*>("clearAction");
        auto* recompressAll = window->findChild<QAbstractButton*>("recompressAllButton");
        auto* pages = window->findChild<QStackedWidget*>();
        QVERIFY(clear && recompressAll && pages);
        QVERIFY(!clear->isVisible());
        QVERIFY(!recompressAll->isEnabled());
        QCOMPARE(pages->currentWidget()->objectName(), "emptyDropZone");
        QVERIFY(!window->findChild<SummaryBar*>()->isVisible());
        QCOMPARE(window->minimumSize(), QSize(640, 420));

        // A cancelled choice adds nothing.
        window->findChild<QAction*>("chooseFilesAction")->trigger();
        QCOMPARE(chooserCalls, 1);
        QVERIFY(model->items().isEmpty());

        const fs::path file = testing::writePng(AppPaths::homeFolder() / "in" / "a.png");
        model->add(std::vector{file});
        QVERIFY(clear->isVisible());
        QVERIFY(recompressAll->isEnabled());
        QCOMPARE(pages->currentWidget(), static_cast<QWidget*>(window->resultList()));
        QVERIFY(window->findChild<SummaryBar*>()->isVisible());
        QCOMPARE(window->findChild<QLabel*>("progressText")->text(), "0/1");
        clear->trigger();
        QVERIFY(model->items().isEmpty());
        QVERIFY(!clear->isVisible());
    }

    void dropsTakeFilesOnly() {
        QMimeData text;
        text.setText("/etc/hostname");
        QVERIFY(!drop(text));
        QMimeData web;
        web.setUrls({QUrl("https://example.org/a.png")});
        QVERIFY(!drop(web));
        QVERIFY(model->items().isEmpty());

        const fs::path file = testing::writePng(AppPaths::homeFolder() / "drop" / "b.png");
        QMimeData files;
        files.setUrls({QUrl::fromLocalFile(QString::fromStdString(file.string()))});
        QVERIFY(drop(files));
        QTRY_COMPARE(model->items().size(), 1);  // folders and files are collected off the main thread
        QVERIFY(!window->findChild<EmptyDropZone*>()->isTargeted());
    }

    // Every file of a folder picked in the chooser: the outputs of an earlier run are passed over,
    // as in a dropped folder, rather than compressed again into "-min-min".
    void chosenFilesPassOverEarlierOutputs() {
        const fs::path source = testing::writePng(AppPaths::homeFolder() / "chosen" / "a.png");
        const fs::path output = testing::writePng(AppPaths::homeFolder() / "chosen" / "a-min.png");
        OutputPlanner::markOptimized(output, "1");
        if (!OutputPlanner::isOptimized(output)) QSKIP("this file system keeps no extended attributes");
        for (const fs::path& file : {source, output}) chosen << QUrl::fromLocalFile(QString::fromStdString(file.string()));
        window->findChild<QAction*>("chooseFilesAction")->trigger();
        QTRY_VERIFY(!model->collecting());
        QCOMPARE(model->items().size(), 1);
        QCOMPARE(model->items().front()->source(), source);
        QCOMPARE(model->ignoredCount(), 1);
    }

    void chipTitlesFollowTheOptions() {
        struct Case {
            double level;
            std::optional<OutputFormat> format;
            bool lossless;
            QString level_, format_;
        };
        const Case cases[] = {
            {2.6, std::nullopt, false, "级别 3 · 平衡", "原格式"},
            {1, OutputFormat::jxl, false, "级别 1 · 最佳", "JPEG XL"},
            {6, OutputFormat::jxl, true, "级别 6 · 最小", "JPEG XL · 无损"},
            {3.4, OutputFormat::webp, true, "级别 3 · 平衡", "WebP"},
        };
        for (const Case& c : cases) {
            CompressionOptions options = presets->options();
            options.level = c.level;
            options.format = c.format;
            options.jxlLossless = c.lossless;
            presets->setOptions(options);
            QCOMPARE(window->findChild<ParameterChip*>("levelChip")->title(), c.level_);
            QCOMPARE(window->findChild<ParameterChip*>("formatChip")->title(), c.format_);
        }
        QCOMPARE(window->findChild<ParameterChip*>("sizeLimitChip")->title(), "不限体积");
    }

    void presetPills() {
        presets->select(PresetLibrary::defaultID);
        PresetPill* builtIn = pill(PresetLibrary::defaultID);
        QVERIFY(builtIn && builtIn->isSelected() && !builtIn->isModified());
        CompressionOptions options = presets->options();
        options.level = 5;
        presets->setOptions(options);
        QVERIFY(builtIn->isModified());
        QCOMPARE(builtIn->toolTip(), "参数已修改，右键可更新预设");
        auto menu = builtIn->contextMenu();
        QVERIFY(menu->findChild<QAction*>("presetUpdateAction")->isEnabled());
        QVERIFY(!menu->findChild<QAction*>("presetRenameAction")->isEnabled());
        QVERIFY(!menu->findChild<QAction*>("presetDeleteAction")->isEnabled());

        PresetPill* web = pill(PresetLibrary::webID);
        QVERIFY(web && !web->isModified());
        QCOMPARE(web->toolTip(), QString::fromStdString(web->preset().name));
        QVERIFY(web->contextMenu()->findChild<QAction*>("presetRenameAction")->isEnabled());
        web->click();
        QCOMPARE(presets->selectedID(), PresetLibrary::webID);
        QVERIFY(!builtIn->isSelected());

        // "+" saves the current options under the typed name; renaming goes through its prompt.
        window->findChild<QAbstractButton*>("newPresetButton")->click();
        auto* prompt = window->findChild<NamePrompt*>("newPresetPrompt");
        QVERIFY(prompt);
        prompt->field()->setText("社交");
        prompt->accept();
        QCOMPARE(presets->library().presets.size(), 3u);
        const Preset added = presets->library().presets.back();
        QCOMPARE(added.name, "社交");
        NamePrompt* rename = window->findChild<PresetBar*>()->promptRename(added.id);
        QCOMPARE(rename->field()->text(), "社交");
        rename->field()->setText("朋友圈");
        rename->accept();
        QCOMPARE(presets->library().presets.back().name, "朋友圈");
        QCOMPARE(window->findChild<PresetBar*>()->pills().back()->text(), "朋友圈");
    }

    void summaryAndBannerTexts() {
        QCOMPARE(summaryText({3, 2, 600, 1000}, 1), "3 张 · 已完成 2 · 共节省 600 B（60%） · 已忽略 1 个不支持的文件");
        QCOMPARE(summaryText({1, 0, 0, 0}, 0), "1 张 · 已完成 0");
        QCOMPARE(summaryText({3, 3, 0, 0, 3}, 0), "3 张 · 已完成 3 · 失败 3");
        QCOMPARE(summaryText({2, 2, 50, 100, 1, false}, 0), "2 个文件 · 已完成 2 · 失败 1 · 共节省 50 B（50%）");
        QCOMPARE(summaryText({}, 2), "没有可压缩的文件 · 已忽略 2 个不支持的文件");
        QCOMPARE(summaryText({}, 0, 0), "正在查找文件… 0");
        QCOMPARE(summaryText({1, 0, 0, 0}, 0, 500), "1 张 · 已完成 0 · 正在查找文件… 500");
        QCOMPARE(missingEncodersText({"cjpeg", "cwebp"}),
                 "找不到压缩器：cjpeg、cwebp。请先 " + encoderInstallHint() + " 再重新启动 App。");
    }
};

int main(int argc, char** argv) {
    dorvex::app::testing::TestHome home;
    QApplication application(argc, argv);
    ViewsMainWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "ViewsMainWindowTest.moc"
