#pragma once
// MainWindow: where files are dropped, the queue is watched and the next jobs' options are set.
// Top to bottom: the encoder banner (while encoders are missing), the empty drop zone or the result
// list, the summary line, and the bottom bar of preset pills and option chips. Its toolbar chooses
// files and clears the list. Files and folders dropped anywhere on the window are added.

#include <QList>
#include <QMainWindow>
#include <QUrl>

#include <functional>

#include "dorvex/library/SettingsStore.h"
#include "views/RowActions.h"

class QAction;
class QStackedWidget;

namespace dorvex::app {

class AppModel;
class EmptyDropZone;
class ResultList;
class ThumbnailCache;

// Asks the user for files (or, with `folders`, for folders) to add; an empty list when cancelled.
using FileChooser = std::function<QList<QUrl>(QWidget* parent, bool folders)>;
// The desktop's file chooser: images, movies and PDF documents, several at once; or folders.
QList<QUrl> chooseFilesToAdd(QWidget* parent, bool folders);

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    MainWindow(AppModel& model, SettingsStore& settings, ThumbnailCache& thumbnails,
               FileChooser chooser = &chooseFilesToAdd, DesktopServices services = {}, QWidget* parent = nullptr);

    ResultList* resultList() const { return list_; }
    // Runs the chooser and adds what was chosen.
    void chooseFiles(bool folders);

signals:
    // A row asked for the compare window.
    void compareRequested();

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void refresh();
    void setTargeted(bool targeted);

    AppModel& model_;
    FileChooser chooser_;
    QStackedWidget* content_;
    EmptyDropZone* dropZone_;
    ResultList* list_;
    QAction* clear_;
};

}  // namespace dorvex::app
