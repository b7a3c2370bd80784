#pragma once
// MainWindow: where files are dropped, the queue is watched and the next jobs' options are set.
// Top to bottom: the encoder banner (while encoders are missing), the empty drop zone or the result
// list, the summary line, and the bottom bar of preset pills and option chips. Its toolbar chooses
// files, clears the list and ends in the primary menu (settings, about, quit; their shortcuts work
// anywhere in the window). Failures the user must know of show in a banner below the toolbar.
// Files and folders dropped anywhere on the window are added. The window's size and place are kept
// in the settings store and restored at the next start.

#include <QList>
#include <QMainWindow>
#include <QUrl>

#include <functional>
#include <string_view>

#include "dorvex/library/SettingsStore.h"
#include "views/RowActions.h"

class QAction;
class QStackedWidget;
class QToolBar;

namespace dorvex::app {

class AppModel;
class EmptyDropZone;
class NoticeBanner;
class ResultList;
class ThumbnailCache;

// Asks the user for files (or, with `folders`, for folders) to add; an empty list when cancelled.
using FileChooser = std::function<QList<QUrl>(QWidget* parent, bool folders)>;
// The desktop's file chooser: images, movies and PDF documents, several at once; or folders.
QList<QUrl> chooseFilesToAdd(QWidget* parent, bool folders);

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    // The settings key of the window's saved geometry (Qt's saveGeometry, in base64).
    static constexpr std::string_view geometryKey = "mainWindowGeometry";

    MainWindow(AppModel& model, SettingsStore& settings, ThumbnailCache& thumbnails,
               FileChooser chooser = &chooseFilesToAdd, DesktopServices services = {}, QWidget* parent = nullptr);
    ~MainWindow() override;

    ResultList* resultList() const { return list_; }
    // Runs the chooser and adds what was chosen; earlier outputs among chosen files are passed over.
    void chooseFiles(bool folders);
    NoticeBanner* noticeBanner() const { return notices_; }

signals:
    // A row asked for the compare window.
    void compareRequested();
    // "退出" in the primary menu.
    void quitRequested();

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void addPrimaryMenu(QToolBar* toolbar);
    void showAbout();
    void saveWindowGeometry();
    void restoreWindowGeometry();
    void refresh();
    void setTargeted(bool targeted);

    AppModel& model_;
    SettingsStore& settings_;
    FileChooser chooser_;
    NoticeBanner* notices_;
    QStackedWidget* content_;
    EmptyDropZone* dropZone_;
    ResultList* list_;
    QAction* clear_;
};

}  // namespace dorvex::app
