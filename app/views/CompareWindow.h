#pragma once
// CompareWindow: the window that compares the app model's compared item with its output — an
// empty state when there is nothing to compare or the source has gone, else the split view with
// its toolbar and information bar. It loads both pictures off the main thread, from a pool it
// owns and waits for, and starts afresh whenever the compared item changes.

#include <QImage>
#include <QString>
#include <QThreadPool>
#include <QWidget>

#include <filesystem>
#include <functional>

#include "dorvex/model/CompressionResult.h"

class QLabel;
class QStackedWidget;
class QToolBar;
class QUrl;

namespace dorvex::app {

class AppModel;
class CompressionItem;
class CompareSplitView;

// What the window shows for an item.
enum class CompareState { nothingToCompare, sourceGone, pane };
CompareState compareState(const CompressionItem* item);

// The information bar's texts, left to right.
QStringList compareInfo(const CompressionResult& result);

class CompareWindow : public QWidget {
    Q_OBJECT

public:
    explicit CompareWindow(AppModel& model, QWidget* parent = nullptr);
    ~CompareWindow() override;

    // How the output file is shown in the file manager; the desktop's own way until set.
    void setRevealer(std::function<void(const QUrl&)> reveal) { reveal_ = std::move(reveal); }

    CompareSplitView* splitView() const { return view_; }

private:
    void refresh();
    void showEmpty(const QString& iconName, const QString& fallback, const QString& title, const QString& description);
    void load(const std::filesystem::path& file, bool isSource);
    void picturesArrived(int generation, bool isSource, const QImage& picture);

    AppModel& model_;
    QStackedWidget* pages_;
    QLabel* emptyIcon_;
    QLabel* emptyTitle_;
    QLabel* emptyDescription_;
    QToolBar* toolbar_;
    CompareSplitView* view_;
    QLabel* info_;
    std::filesystem::path output_;
    std::filesystem::path shownOutput_;
    QImage source_;
    QImage outputPicture_;
    int generation_ = 0;
    std::function<void(const QUrl&)> reveal_;
    QThreadPool pool_;
};

}  // namespace dorvex::app
