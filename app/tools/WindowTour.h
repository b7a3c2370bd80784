#pragma once
// WindowTour: the application's windows in every state worth looking at, built from real
// compressions of sample media and handed one at a time to a visitor while they show — the main
// window empty, with the encoder banner, while a dropped folder is walked and once it held
// nothing, each option popover (the save location refusing an empty suffix, the format popover
// with JPEG XL), while the jobs run and when they are done (a success, a skip, a failure, a video
// and a PDF among them), with the failed row selected and its tooltip, a written picture's tooltip
// with its perceptual score, failures in the banner, the primary menu and a row's menu open; the
// compare window empty, at fit, at 100 %, zoomed in, with the split moved and at its narrowest; the
// tray panel while the jobs run and when they are done (a finished row under the focus), and both
// settings tabs. The screenshots tool saves each one to a PNG file; the language check reads the
// texts of each.
//
// Needs a QApplication, a home of its own (the presets and settings are written there), and the
// media folder's samples (tests/media). Takes about a minute, most of it the compressions.

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QHelpEvent>
#include <QLineEdit>
#include <QMenu>
#include <QTabWidget>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "dorvex/image/Toolchain.h"
#include "dorvex/library/SettingsStore.h"
#include "dorvex/platform/AppPaths.h"
#include "model/AppModel.h"
#include "model/CompressionItem.h"
#include "model/ObservablePresetStore.h"
#include "model/UiText.h"
#include "shell/SettingsWindow.h"
#include "shell/TrayPanel.h"
#include "views/CompareSplitView.h"
#include "views/CompareWindow.h"
#include "views/ResultList.h"
#include "views/RowActions.h"
#include "views/ThumbnailCache.h"
#include "views/options/ParameterChip.h"
#include "views/options/Popover.h"
#include "views/window/MainWindow.h"
#include "views/window/NoticeBanner.h"

namespace dorvex::app::tour {

namespace fs = std::filesystem;

// Lets the event loop run for `milliseconds`, or until `done` answers true.
template <typename Done>
void runFor(int milliseconds, Done done) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds && !done()) QApplication::processEvents(QEventLoop::AllEvents, 50);
}

inline void wait(int milliseconds) {
    runFor(milliseconds, [] { return false; });
}

// A window (or popup) as it shows, and the name of the moment ("main-list", "popover-levelChip").
using Visit = std::function<void(QWidget& shown, const std::string& name)>;

// The sample files, copied into `work` (emptied first): pictures of several formats, one that is
// skipped, a video, a PDF, and a text file named .jpg that fails.
inline std::vector<fs::path> sampleFiles(const fs::path& media, const fs::path& work) {
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
    std::ofstream(work / "notes.jpg") << "not a picture\n";  // a failure row
    files.push_back(work / "notes.jpg");
    return files;
}

// The option popovers, one at a time, open below their chips.
inline void visitPopovers(MainWindow& window, const Visit& visit) {
    for (const char* chip : {"levelChip", "formatChip", "sizeLimitChip", "saveLocationChip"}) {
        auto* button = window.findChild<ParameterChip*>(chip);
        if (button == nullptr) continue;
        button->click();
        wait(300);
        if (Popover* popover = button->popover()) {
            visit(*popover, std::string("popover-") + chip);
            popover->close();
        }
        wait(100);
    }
    // The save location refusing an empty suffix (outputs would take their sources' names), and the
    // format popover with JPEG XL chosen, as tall as with its TIFF row; the options stay as they were.
    for (const auto& [chip, control, name] : {std::tuple("saveLocationChip", "filenameSuffixField", "refused"),
                                              std::tuple("formatChip", "formatChoice-jxl", "jxl")}) {
        auto* button = window.findChild<ParameterChip*>(chip);
        if (button == nullptr) continue;
        button->click();
        wait(100);
        if (auto* suffix = button->popover()->findChild<QLineEdit*>(control)) suffix->clear();
        if (auto* choice = button->popover()->findChild<QAbstractButton*>(control)) choice->click();
        wait(200);
        visit(*button->popover(), std::string("popover-") + chip + "-" + name);
        if (auto* original = button->popover()->findChild<QAbstractButton*>("formatChoice-original")) original->click();
        button->popover()->close();
        wait(100);
    }
}

// The finished list: the failed row selected and its tooltip, a scored picture's tooltip, notices
// in the banner, the primary menu and a finished picture's row menu.
inline void visitFinishedList(AppModel& model, MainWindow& window, const Visit& visit) {
    if (auto* list = window.findChild<ResultList*>()) {
        const auto select = [&](auto&& wanted) {
            for (CompressionItem* item : model.items()) {
                if (item->result() == nullptr || !wanted(*item->result())) continue;
                list->setCurrentIndex(model.itemList()->index(model.itemList()->row(item)));
                return true;
            }
            return false;
        };
        const auto visitToolTip = [&](const std::string& name) {
            const QPoint at = list->visualRect(list->currentIndex()).center();
            QHelpEvent help(QEvent::ToolTip, at, list->viewport()->mapToGlobal(at));
            QApplication::sendEvent(list->viewport(), &help);
            wait(300);
            for (QWidget* shown : QApplication::topLevelWidgets()) {
                if (shown->inherits("QTipLabel") && shown->isVisible()) visit(*shown, name);
            }
        };
        select([](const CompressionResult& r) { return r.failed() != nullptr; });
        wait(300);
        visit(window, "main-list-failure-selected");
        // Its tooltip: the folder, the path, the failure and the tool's own words.
        visitToolTip("main-list-failure-tooltip");
        // A written picture's: its output and its perceptual score.
        if (select([](const CompressionResult& r) { return r.perceptual.has_value(); }))
            visitToolTip("main-list-picture-tooltip");
        list->clearSelection();
    }
    // Failures told in the banner, as the window words them: a flush that failed, a preset not saved.
    window.noticeBanner()->post(ui("有些文件未能写入磁盘：%1")
                                    .arg(ui("%1：%2").arg(QStringLiteral("/home/user/Pictures/Dune.jpg"),
                                                          QString::fromLocal8Bit(std::strerror(ENOSPC)))));
    emit model.presets().saveFailed(QStringLiteral("cannot write /home/user/.local/share/dorvex/presets.json"));
    wait(300);
    visit(window, "main-notices");
    window.noticeBanner()->dismiss();
    if (auto* menu = window.findChild<QMenu*>("primaryMenu")) {
        menu->popup(window.mapToGlobal(QPoint(window.width() - 200, 40)));
        wait(300);
        visit(*menu, "main-menu");
        menu->close();
    }
    // A finished picture's row menu, with its keys.
    for (CompressionItem* item : model.items()) {
        auto* list = window.findChild<ResultList*>();
        if (list == nullptr || !RowActions::opens(*item) || item->isVideo() || item->isPDF()) continue;
        const std::unique_ptr<QMenu> rowMenu = list->contextMenu(model.itemList()->index(model.itemList()->row(item)));
        rowMenu->popup(window.mapToGlobal(QPoint(200, 120)));
        wait(300);
        visit(*rowMenu, "main-row-menu");
        break;
    }
}

// The compare window empty, then on a written JPEG (one with a perceptual score if any has one).
inline void visitCompareWindow(AppModel& model, const Visit& visit) {
    CompareWindow compare(model);
    compare.resize(960, 720);
    compare.show();
    visit(compare, "compare-empty");
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
    wait(4000);
    visit(compare, "compare-fit");
    if (auto* actual = compare.findChild<QAction*>("compareActualSize")) actual->trigger();
    wait(800);
    visit(compare, "compare-100");
    if (auto* zoomIn = compare.findChild<QAction*>("compareZoomIn")) zoomIn->trigger();  // the readout: "125 %"
    wait(800);
    visit(compare, "compare-zoomed-in");
    if (auto* fit = compare.findChild<QAction*>("compareFit")) fit->trigger();
    if (auto* split = compare.findChild<CompareSplitView*>()) split->setSplit(0.3);
    wait(800);
    visit(compare, "compare-split");
    // As narrow as the window goes: the information bar takes two lines.
    compare.resize(compare.minimumSizeHint().width(), 480);
    wait(800);
    visit(compare, "compare-narrow");
}

// The whole tour (see above). The model it compresses with is shut down at its end.
inline void visitWindows(const fs::path& media, const fs::path& work, const Visit& visit) {
    const std::vector<fs::path> files = sampleFiles(media, work);
    SettingsStore settings(AppPaths::settingsFolder());
    ObservablePresetStore presets(AppPaths::presetsFile(), settings);
    ThumbnailCache thumbnails(80);
    {
        // A machine without the external encoders.
        AppModel bare(presets, Toolchain{}, 2);
        MainWindow window(bare, settings, thumbnails);
        window.show();
        wait(300);
        visit(window, "main-banner");
    }
    {
        // A dropped folder while it is walked, then once it turned out to hold nothing to compress.
        AppModel dropping(presets, Toolchain{}, 2);
        MainWindow window(dropping, settings, thumbnails);
        window.show();
        wait(300);
        const fs::path notes = AppPaths::homeFolder() / "screenshots-drop" / "notes.txt";
        fs::create_directories(notes.parent_path());
        std::ofstream(notes) << "x";
        dropping.add(QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString(notes.parent_path().string()))});
        visit(window, "main-collecting");
        runFor(3000, [&] { return !dropping.collecting(); });
        visit(window, "main-nothing-to-compress");
        fs::remove_all(notes.parent_path());
    }
    AppModel model(presets, Toolchain::locate(), 4);
    MainWindow window(model, settings, thumbnails);
    window.show();
    wait(300);
    visit(window, "main-empty");
    visitPopovers(window, visit);

    model.add(files);
    wait(700);
    visit(window, "main-running");
    {
        TrayPanel running(model);
        running.show();
        wait(100);
        visit(running, "tray-panel-running");
    }
    // The summary bar's time left, once the first file finished.
    runFor(60000, [&] { return model.progress() && model.progress()->finished > 0; });
    wait(200);
    visit(window, "main-progress");
    runFor(180000, [&] { return model.summary().finishedCount == model.summary().count; });
    wait(1500);  // thumbnails
    visit(window, "main-list");
    visitFinishedList(model, window, visit);
    visitCompareWindow(model, visit);

    TrayPanel panel(model);
    panel.show();
    wait(300);
    visit(panel, "tray-panel");
    if (auto* row = panel.findChild<QWidget*>("recentRow0")) {
        panel.activateWindow();
        row->setFocus();
        wait(100);
        visit(panel, "tray-panel-focus");
    }
    panel.close();

    SettingsWindow settingsWindow(settings, model.toolchain());
    settingsWindow.show();
    wait(300);
    visit(settingsWindow, "settings-general");
    settingsWindow.tabs()->setCurrentIndex(1);
    wait(3000);  // the encoders' versions
    visit(settingsWindow, "settings-encoders");
    model.shutdown();
}

}  // namespace dorvex::app::tour
