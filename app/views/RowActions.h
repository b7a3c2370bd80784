#pragma once
// RowActions: what a result row offers — open, reveal, copy, recompress, remove — as the row's
// hover buttons, its context menu and the list's keys offer them, with their enabled rules, keys
// and tooltips, and the desktop services (default application, file manager, clipboard) that
// carry them out.

#include <QIcon>
#include <QKeySequence>
#include <QList>
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

// A tooltip that names the key of what it explains: "放大（Ctrl+=）"; the text alone without a key.
QString toolTipWithKey(const QString& text, const QKeySequence& key);

struct RowAction {
    enum class Kind { open, reveal, copy, recompress, remove };
    Kind kind;
    QString text;
    QString objectName;
    QString iconName;      // theme name
    QString iconFallback;  // our own drawing, a file of themeIcon()'s resources
    bool enabled = true;
    QString toolTip;  // names the key when there is one
    QList<QKeySequence> keys;  // the list's keys for it, the first one shown


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

// The keys of an action in the list (Return or Enter opens, Ctrl+C copies, Delete removes).
QList<QKeySequence> keys(RowAction::Kind kind);
// The action of a key pressed in the list, if any; the keypad's keys count as the others.
std::optional<RowAction::Kind> actionOfKey(QKeyCombination key);

// Files as the clipboard carries them for pasting in a file manager: a URI list (KDE, and any
// program that takes dropped files), GNOME's "copy" list (Nautilus, Nemo, Caja) and the paths as
// plain text, one a line.
std::unique_ptr<QMimeData> copiedFiles(const std::vector<std::filesystem::path>& files);

}  // namespace RowActions

}  // namespace dorvex::app
