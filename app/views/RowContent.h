#pragma once
// RowContent: what one result row shows, worked out from its list entry — the name, the status
// line and whether it reports a failure, the tags, the trailing element and the tooltip. Plain
// data, so that the delegate only paints and the tests read the row without pixels.

#include <QColor>
#include <QModelIndex>
#include <QString>

#include <filesystem>
#include <vector>

#include "dorvex/text/Format.h"

namespace dorvex::app {

class CompressionItem;

struct RowContent {
    // What stands at the row's right end: a spinner until the item finished, "—" for a skip, the
    // failure symbol, or the change in size.
    enum class Trailing { spinner, dash, failure, change };

    QString name;
    QString status;
    bool failed = false;  // the status line is a failure message (shown in red unless selected)
    std::vector<Format::Tag> tags;
    Trailing trailing = Trailing::spinner;
    Format::Change change{};  // for Trailing::change
    QString toolTip;          // the folder and path; a failure's message and detail, or the warnings

    bool operator==(const RowContent&) const = default;
};

// The row of an ItemListModel index.
RowContent rowContent(const QModelIndex& index);

// The file the row's picture shows: the output once the item finished with one, else the source.
std::filesystem::path thumbnailFile(const CompressionItem& item);

// The colours of the row: tags, the change in size and the failure.
QColor tagColor(Format::TagColor color);
QColor failureColor();

}  // namespace dorvex::app
