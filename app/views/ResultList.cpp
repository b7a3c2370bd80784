#include "views/ResultList.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QMouseEvent>

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
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const RowAction& entry = entries[i];
        if (i == separator && i > 0) menu->addSeparator();
        QAction* action = menu->addAction(RowActions::icon(entry), entry.text);
        action->setObjectName(entry.objectName);
        action->setEnabled(entry.enabled);
        action->setToolTip(entry.toolTip);
        connect(action, &QAction::triggered, this, [this, row, kind = entry.kind] { trigger(kind, row); });
    }
    return menu;
}

void ResultList::trigger(RowAction::Kind action, const QModelIndex& index) {
    CompressionItem* item = itemAt(index);
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
    case RowAction::Kind::copy:
        if (output) services_.copy(RowActions::copiedFile(*result->output));
        break;
    case RowAction::Kind::recompress:
        model_.recompress(item);
        break;
    case RowAction::Kind::remove:
        model_.remove(item);
        break;
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
