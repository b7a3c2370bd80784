#include "views/RowContent.h"

#include "model/CompressionItem.h"
#include "model/ItemListModel.h"

namespace dorvex::app {

namespace {

const CompressionItem* itemAt(const QModelIndex& index) {
    return qobject_cast<const CompressionItem*>(index.data(ItemListModel::ItemRole).value<QObject*>());
}

}  // namespace

RowContent rowContent(const QModelIndex& index) {
    RowContent row;
    const CompressionItem* item = itemAt(index);
    if (!item) return row;
    row.name = QString::fromStdString(item->source().filename().string());
    row.status = index.data(ItemListModel::StatusTextRole).toString();
    row.toolTip = index.data(Qt::ToolTipRole).toString();
    const CompressionResult* result = item->result();
    if (!result) return row;
    if (result->skipped()) {
        row.trailing = RowContent::Trailing::dash;
    } else if (result->failed()) {
        row.failed = true;
        row.trailing = RowContent::Trailing::failure;
    } else {
        row.tags = Format::tags(*result, item->options());
        row.trailing = RowContent::Trailing::change;
        row.change = Format::change(*result);
    }
    return row;
}

std::filesystem::path thumbnailFile(const CompressionItem& item) {
    const CompressionResult* result = item.result();
    return result && result->output ? *result->output : item.source();
}

QColor tagColor(Format::TagColor color) {
    switch (color) {
    case Format::TagColor::green:
        return QColor(0x28, 0xa7, 0x45);
    case Format::TagColor::orange:
        return QColor(0xf0, 0x8c, 0x00);
    case Format::TagColor::blue:
        return QColor(0x1e, 0x7c, 0xe6);
    }
    return {};
}

QColor failureColor() { return QColor(0xe0, 0x32, 0x2b); }

}  // namespace dorvex::app
