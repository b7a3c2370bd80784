#pragma once
// ItemStatus: the tray panel's short status of one listed item — the text at the right of its line
// and the style it is drawn in. Plain data, so that tests read it without pixels.

#include <QString>

namespace dorvex::app {

class CompressionItem;

struct ItemStatus {
    enum class Style {
        secondary,  // queued, running, skipped
        failure,    // red
        good,       // semibold green: the output is not larger than the source
        grew,       // semibold orange
    };

    QString text;
    Style style = Style::secondary;

    bool operator==(const ItemStatus&) const = default;
};

// "压缩中…" until the item finished, then "失败", the skip reason's text, or the change in size
// ("-63%", "+0%", "+5%").
ItemStatus itemStatus(const CompressionItem& item);

}  // namespace dorvex::app
