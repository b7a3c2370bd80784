#include "views/ResultList.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>

#include <algorithm>

#include "model/AppModel.h"
#include "views/ResultRowDelegate.h"

namespace dorvex::app {

namespace {

CompressionItem* itemAt(const QModelIndex& index) {
    return qobject_cast<CompressionItem*>(index.data(ItemListModel::ItemRole).value<QObject*>());
}

}  // namespace

ResultList::ResultList(AppModel& model, ThumbnailCache& thumbnails, QWidget* parent)
    : ResultList(model, thumbnails, DesktopServices::system(this), parent) {}

ResultList::ResultList(AppModel& model, ThumbnailCache& thumbnails, DesktopServices services, QWidget* parent)
    : QListView(parent), model_(model), services_(std::move(services)),
      delegate_(new ResultRowDelegate(thumbnails, this)) {
    setObjectName(QStringLiteral("resultList"));
    setModel(model.itemList());
    setItemDelegate(delegate_);
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setMouseTracking(true);  // the hovered row shows its buttons
    viewport()->setAttribute(Qt::WA_Hover);
}

std::unique_ptr<QMenu> ResultList::contextMenu(const QModelIndex& index) {
    const CompressionItem* item = itemAt(index);
    if (!item) return nullptr;
    auto menu = std::make_unique<QMenu>(this);
    menu->setObjectName(QStringLiteral("rowMenu"));
    menu->setToolTipsVisible(true);
    std::size_t separator = 0;
    const std::vector<RowAction> entries = RowActions::menuEntries(*item, &separator);
    const QPersistentModelIndex row(index);
    // Copying and removing take the selection the row belongs to, as in a file manager.
    const bool inSelection = selectionModel()->isRowSelected(index.row(), index.parent());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const RowAction& entry = entries[i];
        if (i == separator && i > 0) menu->addSeparator();
        QAction* action = menu->addAction(RowActions::icon(entry), entry.text);
        action->setObjectName(entry.objectName);
        action->setEnabled(entry.enabled);
        action->setToolTip(entry.toolTip);
        action->setShortcuts(entry.keys);  // shown beside the text; the list takes the keys
        connect(action, &QAction::triggered, this, [this, row, inSelection, kind = entry.kind] {
            if (inSelection && (kind == RowAction::Kind::copy || kind == RowAction::Kind::remove))
                trigger(kind, selectedRows());
            else
                trigger(kind, QModelIndex(row));
        });
    }
    return menu;
}

void ResultList::trigger(RowAction::Kind action, const QModelIndex& index) {
    trigger(action, QModelIndexList{index});
}

void ResultList::trigger(RowAction::Kind action, const QModelIndexList& rows) {
    if (rows.isEmpty()) return;
    if (action == RowAction::Kind::copy) {
        std::vector<std::filesystem::path> outputs;
        for (const QModelIndex& row : rows) {
            const CompressionItem* item = itemAt(row);
            if (item && item->result() && item->result()->output) outputs.push_back(*item->result()->output);
        }
        if (!outputs.empty()) services_.copy(RowActions::copiedFiles(outputs));
        return;
    }
    if (action == RowAction::Kind::remove) return remove(rows);
    CompressionItem* item = itemAt(rows.front());
    if (!item) return;
    const CompressionResult* result = item->result();
    const std::optional<QUrl> output = result && result->output
                                           ? std::optional(QUrl::fromLocalFile(QString::fromStdString(result->output->string())))
                                           : std::nullopt;
    switch (action) {
    case RowAction::Kind::open:
        if (!RowActions::opens(*item)) break;
        if (!item->isVideo() && !item->isPDF()) {
            model_.setCompareItemID(item->id());
            emit compareRequested();
        } else if (output) {
            services_.open(*output);
        }
        break;
    case RowAction::Kind::reveal:
        if (output) services_.reveal(*output);
        break;
    case RowAction::Kind::recompress:
        model_.recompress(item);
        break;
    case RowAction::Kind::copy:
    case RowAction::Kind::remove: break;  // above
    }
}

void ResultList::remove(const QModelIndexList& rows) {
    std::vector<CompressionItem*> items;
    for (const QModelIndex& row : rows) {
        if (CompressionItem* item = itemAt(row)) items.push_back(item);
    }
    for (CompressionItem* item : items) model_.remove(item);  // deleted later, so still valid here
}

QModelIndexList ResultList::selectedRows() const {
    QModelIndexList rows = selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    return rows;
}

// The row keys are the list's own while it has the focus, ahead of any window shortcut.
bool ResultList::event(QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride &&
        RowActions::actionOfKey(static_cast<QKeyEvent*>(event)->keyCombination())) {
        event->accept();
        return true;
    }
    return QListView::event(event);
}

void ResultList::keyPressEvent(QKeyEvent* event) {
    const std::optional<RowAction::Kind> action = RowActions::actionOfKey(event->keyCombination());
    if (!action) return QListView::keyPressEvent(event);
    event->accept();
    const QModelIndexList rows = selectedRows();
    switch (*action) {
    case RowAction::Kind::open: {
        // The current row when it is selected, else the first selected one.
        const QModelIndex current = currentIndex();
        trigger(*action, rows.contains(current) ? current : rows.value(0));
        break;
    }
    case RowAction::Kind::remove: {
        if (rows.isEmpty()) break;
        const int first = rows.front().row();
        trigger(*action, rows);
        // The row that moved up into the place of the first removed one is selected next, so that
        // Delete can go on down the list.
        const int count = model()->rowCount();
        if (count > 0) selectionModel()->setCurrentIndex(model()->index(std::min(first, count - 1), 0),
                                                         QItemSelectionModel::ClearAndSelect);
        break;
    }
    default: trigger(*action, rows); break;
    }
}

void ResultList::mousePressEvent(QMouseEvent* event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    if (const CompressionItem* item = itemAt(index); item && event->button() == Qt::LeftButton) {
        if (const auto button = RowActions::hoverButtonAt(*item, visualRect(index), event->position().toPoint())) {
            if (button->first.enabled) trigger(button->first.kind, index);
            event->accept();
            return;
        }
    }
    QListView::mousePressEvent(event);
}

void ResultList::mouseDoubleClickEvent(QMouseEvent* event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    if (index.isValid() && event->button() == Qt::LeftButton) {
        trigger(RowAction::Kind::open, index);
        event->accept();
        return;
    }
    QListView::mouseDoubleClickEvent(event);
}

void ResultList::contextMenuEvent(QContextMenuEvent* event) {
    const std::unique_ptr<QMenu> menu = contextMenu(indexAt(event->pos()));
    if (menu) menu->exec(event->globalPos());
}

}  // namespace dorvex::app
