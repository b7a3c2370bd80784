#pragma once
// ResultList: the list of result rows over the app model, painted by the row delegate, and what a
// person does with a row — the hover buttons, double-click, the context menu, the keys — carried
// out on the app model (recompress, remove, compare) or through the desktop's services (open,
// reveal, copy). Keys act on the selection: Return or Enter opens the current row, Ctrl+C copies
// the selected rows' output files, Delete removes the selected rows.

#include <QListView>

#include "views/RowActions.h"

class QMenu;

namespace dorvex::app {

class AppModel;
class ResultRowDelegate;
class ThumbnailCache;

class ResultList : public QListView {
    Q_OBJECT

public:
    // With the desktop's own services.
    ResultList(AppModel& model, ThumbnailCache& thumbnails, QWidget* parent = nullptr);
    ResultList(AppModel& model, ThumbnailCache& thumbnails, DesktopServices services, QWidget* parent = nullptr);

    // The context menu of a row, owned by the caller; null for no row.
    std::unique_ptr<QMenu> contextMenu(const QModelIndex& index);
    // Carries out a row's action. Opening an image makes it the compared item and asks for the
    // compare window; a video or PDF opens its output with the default application.
    void trigger(RowAction::Kind action, const QModelIndex& index);
    // Carries out an action on rows: copying and removing take them all (copying those with an
    // output file, in list order), the others the first row.
    void trigger(RowAction::Kind action, const QModelIndexList& rows);

signals:
    void compareRequested();

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // The selected rows, top to bottom.
    QModelIndexList selectedRows() const;
    void remove(const QModelIndexList& rows);

    AppModel& model_;
    DesktopServices services_;
    ResultRowDelegate* delegate_;
};

}  // namespace dorvex::app
