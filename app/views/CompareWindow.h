#pragma once
// CompareWindow: the window that compares the app model's compared item with its output — an
// empty state when there is nothing to compare or the source has gone, else the split view with
// its toolbar and information bar. It follows the compared item through the list: a new output
// file starts afresh (split and scale reset), the same output rewritten (recompressed) reloads its
// pictures. Both pictures load off the main thread; loads that are no longer wanted are dropped,
// and closing the window never waits for one. Keys: Escape or Ctrl+W closes; Ctrl+0 fits, Ctrl+1
// shows 100 %, Ctrl+= / Ctrl+- zoom in steps (each also without Ctrl); the toolbar reads the zoom.

#include <QImage>
#include <QString>
#include <QWidget>

#include <filesystem>
#include <functional>

#include "dorvex/model/CompressionResult.h"
#include "views/ThumbnailCache.h"

class QLabel;
class QModelIndex;
class QStackedWidget;
class QToolBar;
class QUrl;

namespace dorvex::app {

class AppModel;
class CompareInfoBar;
class CompressionItem;
class CompareSplitView;

// What the window shows for an item.
enum class CompareState { nothingToCompare, sourceGone, pane };
CompareState compareState(const CompressionItem* item);

class CompareWindow : public QWidget {
    Q_OBJECT

public:
    explicit CompareWindow(AppModel& model, QWidget* parent = nullptr);

    // How the output file is shown in the file manager; the desktop's own way until set.
    void setRevealer(std::function<void(const QUrl&)> reveal) { reveal_ = std::move(reveal); }

    CompareSplitView* splitView() const { return view_; }

private:
    void refresh();
    void showEmpty(const QString& iconName, const QString& fallbackFile, const QString& title,
                   const QString& description);
    void load(const std::filesystem::path& file, bool isSource);
    void pictureArrived(bool isSource, const QImage& picture);
    void showZoom();
    void listChanged(const QModelIndex& first, const QModelIndex& last);

    AppModel& model_;
    QStackedWidget* pages_;
    QLabel* emptyIcon_;
    QLabel* emptyTitle_;
    QLabel* emptyDescription_;
    QToolBar* toolbar_;
    CompareSplitView* view_;
    QLabel* zoomLevel_;  // "100 %"
    CompareInfoBar* info_;
    std::filesystem::path output_;
    std::filesystem::path shownOutput_;
    QString shownContent_;  // the shown output's path, size and modification time
    QImage source_;
    QImage outputPicture_;
    std::function<void(const QUrl&)> reveal_;
    PictureLoads loads_{this};
};

}  // namespace dorvex::app
