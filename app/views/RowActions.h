#pragma once
// RowActions: what a result row offers — open, reveal, copy, recompress, remove — as the row's
// hover buttons and its context menu list them, with their enabled rules and tooltips, and the
// desktop services (default application, file manager, clipboard) that carry them out.

#include <QIcon>
#include <QMimeData>
#include <QObject>
#include <QRect>
#include <QString>
#include <QUrl>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace dorvex::app {

class CompressionItem;

// The desktop's services, swapped out by tests so that nothing is launched.
struct DesktopServices {
    std::function<void(const QUrl&)> open;                     // with the default application
    std::function<void(const QUrl&)> reveal;                   // selected in the file manager
    std::function<void(std::unique_ptr<QMimeData>)> copy;     // onto the clipboard

    // The real ones. Revealing asks the file manager over D-Bus and opens the folder when none
    // answers; the asking process belongs to `owner`.
    static DesktopServices system(QObject* owner);
};

struct RowAction {
    enum class Kind { open, reveal, copy, recompress, remove };
    Kind kind;
    QString text;
    QString objectName;
    QString iconName;      // theme name
    QString iconFallback;  // our own resource
    bool enabled = true;
    QString toolTip;

    bool operator==(const RowAction&) const = default;
};

namespace RowActions {

// Whether the item can be opened (compared, played, previewed): only when it finished with an
// output file. The open button, the menu entry and a double-click all follow this.
bool opens(const CompressionItem& item);

// The hover buttons of a finished row with an output file (open, reveal, recompress); none else.
std::vector<RowAction> hoverButtons(const CompressionItem& item);
// The context menu: open, reveal and copy for a finished row with an output file, then always
// recompress and remove. `separatorBefore` is where the divider goes (0: none).
std::vector<RowAction> menuEntries(const CompressionItem& item, std::size_t* separatorBefore = nullptr);

// Where the hover buttons sit in a row: right-aligned, left of the trailing column.
std::vector<QRect> hoverButtonRects(const QRect& row, std::size_t count);
// The hover button of the item's row `row` under `point`, with its place, if any.
std::optional<std::pair<RowAction, QRect>> hoverButtonAt(const CompressionItem& item, const QRect& row,
                                                         const QPoint& point);

// The action's icon: the theme's, else our own.
QIcon icon(const RowAction& action);

// A file as the clipboard carries it for pasting in a file manager.
std::unique_ptr<QMimeData> copiedFile(const std::filesystem::path& file);

}  // namespace RowActions

}  // namespace dorvex::app
