// dorvex-screenshots: renders the application's windows to PNG files on the offscreen platform,
// from real compressions of sample media, so that they can be looked at without a display: the
// main window empty, with the encoder banner, while the jobs run and when they are done (a failure
// among them, in the list and the summary), with the failed row selected, with failures in its
// banner, its primary menu and a row's menu open; each
// option popover open; the compare window empty, at fit, at 100 %, zoomed in, with the split moved and
// at its narrowest; a written picture's row tooltip with its perceptual score; the
// tray panel while the jobs run and when they are done (a finished row under the focus), the tray
// icon's states on a light and a dark panel, and both settings tabs. Usage: dorvex-screenshots
// MEDIA_FOLDER OUT_FOLDER [dark]
// (scripts/screenshots runs it in a temporary home, at device pixel ratios 1 and 2, and in a dark
// palette).

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFont>
#include <QHelpEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPalette>
#include <QTabWidget>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <tuple>
#include <vector>

#include "dorvex/image/Toolchain.h"
#include "dorvex/library/SettingsStore.h"
#include "dorvex/platform/AppPaths.h"
#include "model/AppModel.h"
#include "model/CompressionItem.h"
#include "model/ObservablePresetStore.h"
#include "shell/SettingsWindow.h"
#include "shell/TrayPanel.h"
#include "shell/TrayStatus.h"
#include "views/CompareSplitView.h"
#include "views/CompareWindow.h"
#include "views/ResultList.h"
#include "views/ThumbnailCache.h"
#include "views/options/ParameterChip.h"
#include "views/options/Popover.h"
#include "views/window/MainWindow.h"
#include "views/window/NoticeBanner.h"

namespace fs = std::filesystem;
using namespace dorvex;
using namespace dorvex::app;

namespace {

// Lets the event loop run for `milliseconds`, or until `done` answers true.
template <typename Done>
void runFor(int milliseconds, Done done) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds && !done()) QApplication::processEvents(QEventLoop::AllEvents, 50);
}

void save(QWidget& widget, const fs::path& file) {
    if (!widget.grab().save(QString::fromStdString(file.string()))) {
        std::fprintf(stderr, "screenshots: cannot write %s\n", file.c_str());
    } else {
        std::printf("%s\n", file.c_str());
    }
}

// A dark desktop's colours, as a dark theme gives them to Qt.
QPalette darkPalette() {
    QPalette palette;
    const QColor window(0x2b, 0x2b, 0x2e), base(0x1f, 0x1f, 0x22), text(0xe6, 0xe6, 0xe6);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, window);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3e));
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::Highlight, QColor(0x3d, 0x8e, 0xe6));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::PlaceholderText, QColor(0x9a, 0x9a, 0xa0));
    palette.setColor(QPalette::Light, QColor(0x55, 0x55, 0x5a));
    palette.setColor(QPalette::Midlight, QColor(0x4a, 0x4a, 0x4f));
    palette.setColor(QPalette::Mid, QColor(0x48, 0x48, 0x4d));
    palette.setColor(QPalette::Dark, QColor(0x18, 0x18, 0x1a));
    palette.setColor(QPalette::Shadow, QColor(0x10, 0x10, 0x12));
    palette.setColor(QPalette::ToolTipBase, window);
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(0x77, 0x77, 0x7c));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x77, 0x77, 0x7c));
    palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x77, 0x77, 0x7c));
    return palette;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 3 && !(argc == 4 && std::string_view(argv[3]) == "dark")) {
        std::fprintf(stderr, "usage: dorvex-screenshots MEDIA_FOLDER OUT_FOLDER [dark]\n");
        return 2;
    }
    if (argc == 4) QApplication::setPalette(darkPalette());
    const fs::path media = argv[1], out = argv[2];
    const fs::path work = out / "files";
    fs::remove_all(work);
    fs::create_directories(work);
    std::vector<fs::path> files;
    for (const char* name : {"images/Dune.jpg", "images/goexif-sample1.jpg", "images/city.png",
                             "images/sunset-lossy.webp", "images/conv-friends_by_Aitzol_Berasategi.heic",
                             "images/orientation_8.jpg", "images/tmshre_riaphotographs_alpha.png",  // a skip
                             "videos/realshort.mp4", "pdfs/d-text.pdf"}) {
        fs::copy_file(media / name, work / fs::path(name).filename());
        files.push_back(work / fs::path(name).filename());
    }
    std::FILE* text = std::fopen((work / "notes.jpg").c_str(), "w");  // a failure row
    if (text) {
        std::fputs("not a picture\n", text);
        std::fclose(text);
    }
    files.push_back(work / "notes.jpg");

    SettingsStore settings(AppPaths::settingsFolder());
    ObservablePresetStore presets(AppPaths::presetsFile(), settings);
    ThumbnailCache thumbnails(80);
    {
        // A machine without the external encoders.
        AppModel bare(presets, Toolchain{}, 2);
        MainWindow window(bare, settings, thumbnails);
        window.show();
        runFor(300, [] { return false; });
        save(window, out / "main-banner.png");
    }
    {
        // A dropped folder while it is walked, then once it turned out to hold nothing to compress.
        AppModel dropping(presets, Toolchain{}, 2);
        MainWindow window(dropping, settings, thumbnails);
        window.show();
        runFor(300, [] { return false; });
        const fs::path notes = AppPaths::homeFolder() / "screenshots-drop" / "notes.txt";
        fs::create_directories(notes.parent_path());
        std::ofstream(notes) << "x";
        dropping.add(QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString(notes.parent_path().string()))});
        save(window, out / "main-collecting.png");
        runFor(3000, [&] { return !dropping.collecting(); });
        save(window, out / "main-nothing-to-compress.png");
        fs::remove_all(notes.parent_path());
    }
    AppModel model(presets, Toolchain::locate(), 4);
    MainWindow window(model, settings, thumbnails);
    window.show();
    runFor(300, [] { return false; });
    save(window, out / "main-empty.png");

    // Each option popover, open below its chip, over the empty window.
    for (const char* chip : {"levelChip", "formatChip", "sizeLimitChip", "saveLocationChip"}) {
        auto* button = window.findChild<ParameterChip*>(chip);
        if (button == nullptr) continue;
        button->click();
        runFor(300, [] { return false; });
        if (Popover* popover = button->popover()) {
            save(*popover, out / (std::string("popover-") + chip + ".png"));
            popover->close();
        }
        runFor(100, [] { return false; });
    }
    // The save location refusing an empty suffix (outputs would take their sources' names), and the
    // format popover with JPEG XL chosen, as tall as with its TIFF row; the options stay as they were.
    for (const auto& [chip, control, name] : {std::tuple("saveLocationChip", "filenameSuffixField", "refused"),
                                              std::tuple("formatChip", "formatChoice-jxl", "jxl")}) {
        auto* button = window.findChild<ParameterChip*>(chip);
        if (button == nullptr) continue;
        button->click();
        runFor(100, [] { return false; });
        if (auto* suffix = button->popover()->findChild<QLineEdit*>(control)) suffix->clear();
        if (auto* choice = button->popover()->findChild<QAbstractButton*>(control)) choice->click();
        runFor(200, [] { return false; });
        save(*button->popover(), out / (std::string("popover-") + chip + "-" + name + ".png"));
        if (auto* original = button->popover()->findChild<QAbstractButton*>("formatChoice-original")) original->click();
        button->popover()->close();
        runFor(100, [] { return false; });
    }

    model.add(files);
    runFor(700, [] { return false; });
    save(window, out / "main-running.png");
    {
        TrayPanel running(model);
        running.show();
        runFor(100, [] { return false; });
        save(running, out / "tray-panel-running.png");
    }
    // The summary bar's time left, once the first file finished.
    runFor(60000, [&] { return model.progress() && model.progress()->finished > 0; });
    runFor(200, [] { return false; });
    save(window, out / "main-progress.png");
    runFor(180000, [&] { return model.summary().finishedCount == model.summary().count; });
    runFor(1500, [] { return false; });  // thumbnails
    save(window, out / "main-list.png");
    if (auto* list = window.findChild<ResultList*>()) {
        const auto select = [&](auto&& wanted) {
            for (CompressionItem* item : model.items()) {
                if (item->result() == nullptr || !wanted(*item->result())) continue;
                list->setCurrentIndex(model.itemList()->index(model.itemList()->row(item)));
                return true;
            }
            return false;
        };
        const auto saveToolTip = [&](const fs::path& file) {
            const QPoint at = list->visualRect(list->currentIndex()).center();
            QHelpEvent help(QEvent::ToolTip, at, list->viewport()->mapToGlobal(at));
            QApplication::sendEvent(list->viewport(), &help);
            runFor(300, [] { return false; });
            for (QWidget* shown : QApplication::topLevelWidgets()) {
                if (shown->inherits("QTipLabel") && shown->isVisible()) save(*shown, file);
            }
        };
        select([](const CompressionResult& r) { return r.failed() != nullptr; });
        runFor(300, [] { return false; });
        save(window, out / "main-list-failure-selected.png");
        // Its tooltip: the folder, the path, the failure and the tool's own words.
        saveToolTip(out / "main-list-failure-tooltip.png");
        // A written picture's: its output and its perceptual score.
        if (select([](const CompressionResult& r) { return r.perceptual.has_value(); }))
            saveToolTip(out / "main-list-picture-tooltip.png");
        list->clearSelection();
    }
    // Failures told in the banner; the primary menu open.
    window.noticeBanner()->post(QStringLiteral("有些文件未能写入磁盘：/home/user/图片/Dune.jpg：设备上没有空间"));
    window.noticeBanner()->post(QStringLiteral("预设未能保存：cannot write /home/user/.local/share/dorvex/presets.json"));
    runFor(300, [] { return false; });
    save(window, out / "main-notices.png");
    window.noticeBanner()->dismiss();
    if (auto* menu = window.findChild<QMenu*>("primaryMenu")) {
        menu->popup(window.mapToGlobal(QPoint(window.width() - 200, 40)));
        runFor(300, [] { return false; });
        save(*menu, out / "main-menu.png");
        menu->close();
    }
    // A finished picture's row menu, with its keys.
    for (CompressionItem* item : model.items()) {
        auto* list = window.findChild<ResultList*>();
        if (list == nullptr || !RowActions::opens(*item) || item->isVideo() || item->isPDF()) continue;
        const std::unique_ptr<QMenu> rowMenu = list->contextMenu(model.itemList()->index(model.itemList()->row(item)));
        rowMenu->popup(window.mapToGlobal(QPoint(200, 120)));
        runFor(300, [] { return false; });
        save(*rowMenu, out / "main-row-menu.png");
        break;
    }

    CompareWindow compare(model);
    compare.resize(960, 720);
    compare.show();
    save(compare, out / "compare-empty.png");
    // A written JPEG, one with a perceptual score if any has one (the information bar shows it).
    for (const bool scored : {true, false}) {
        if (model.compareItemID()) break;
        for (CompressionItem* item : model.items()) {
            const CompressionResult* result = item->result();
            if (result && result->isSuccess() && result->output && result->output->extension() == ".jpg" &&
                (result->perceptual || !scored)) {
                model.setCompareItemID(item->id());
                break;
            }
        }
    }
    runFor(4000, [] { return false; });
    save(compare, out / "compare-fit.png");
    if (auto* actual = compare.findChild<QAction*>("compareActualSize")) actual->trigger();
    runFor(800, [] { return false; });
    save(compare, out / "compare-100.png");
    if (auto* zoomIn = compare.findChild<QAction*>("compareZoomIn")) zoomIn->trigger();  // the readout: "125 %"
    runFor(800, [] { return false; });
    save(compare, out / "compare-zoomed-in.png");
    if (auto* fit = compare.findChild<QAction*>("compareFit")) fit->trigger();
    if (auto* split = compare.findChild<CompareSplitView*>()) split->setSplit(0.3);
    runFor(800, [] { return false; });
    save(compare, out / "compare-split.png");
    // As narrow as the window goes: the information bar takes two lines.
    compare.resize(compare.minimumSizeHint().width(), 480);
    runFor(800, [] { return false; });
    save(compare, out / "compare-narrow.png");

    TrayPanel panel(model);
    panel.show();
    runFor(300, [] { return false; });
    save(panel, out / "tray-panel.png");
    if (auto* row = panel.findChild<QWidget*>("recentRow0")) {
        panel.activateWindow();
        row->setFocus();
        runFor(100, [] { return false; });
        save(panel, out / "tray-panel-focus.png");
    }
    panel.close();
    {
        // The icon's states at the panels' sizes, drawn in each panel's text colour.
        const qreal ratio = app.devicePixelRatio();
        QImage strip(QSize(3 * 90, 2 * 40) * ratio, QImage::Format_ARGB32);
        strip.setDevicePixelRatio(ratio);
        QPainter painter(&strip);
        for (const auto& [row, background, ink] : {std::tuple(0, QColor(0xef, 0xf0, 0xf1), QColor(0x23, 0x26, 0x29)),
                                                    std::tuple(1, QColor(0x2a, 0x2e, 0x32), QColor(0xfc, 0xfc, 0xfc))}) {
            painter.fillRect(0, row * 40, 3 * 90, 40, background);
            int x = 4;
            for (const TrayState state : {TrayState::idle, TrayState::working, TrayState::failed}) {
                for (const int side : {16, 22, 32}) {
                    trayIcon(state, ink).paint(&painter, QRect(x, row * 40 + 4, side, side));
                    x += side + 4;
                }
                x += 6;
            }
        }
        painter.end();
        strip.save(QString::fromStdString((out / "tray-icons.png").string()));
    }

    SettingsWindow settingsWindow(settings, model.toolchain());
    settingsWindow.show();
    runFor(300, [] { return false; });
    save(settingsWindow, out / "settings-general.png");
    settingsWindow.tabs()->setCurrentIndex(1);
    runFor(3000, [] { return false; });  // the encoders' versions
    save(settingsWindow, out / "settings-encoders.png");
    model.shutdown();
    return 0;
}
