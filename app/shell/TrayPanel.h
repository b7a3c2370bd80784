#pragma once
// TrayPanel: the small panel the tray icon opens — a drop zone, the preset picker, the three
// newest items with their short status (a click on a finished one opens it as the main window's
// list does: the compare window, or the player or viewer), and buttons to open the main window or the settings and
// to quit. A frameless panel kept above other windows. Unlike a popup it stays open while the user
// works in another application — the drop zone is there for files dragged from a file manager,
// whose first click would close a popup before the drag began — and closes on Escape, on a click
// on the icon, on its buttons, or when another window of ours becomes active.

#include <QElapsedTimer>
#include <QRect>
#include <QSize>
#include <QWidget>

#include <array>

class QComboBox;
class QLabel;

namespace dorvex::app {

class AppModel;
class CompressionItem;
class ElidedLabel;
class RecentRow;

class TrayPanel : public QWidget {
    Q_OBJECT

public:
    static constexpr int panelWidth = 300;
    static constexpr int recentCount = 3;

    explicit TrayPanel(AppModel& model, QWidget* parent = nullptr);

    // Shows the panel beside `anchor` (the icon's rectangle, or the cursor's point as a 1 × 1
    // rectangle), on the anchor's screen: below it when there is room, else above it.
    void showNear(const QRect& anchor);
    // Where a panel of `size` goes beside `anchor` within a screen's `available` area: placed as a
    // popover is (Popover::placement), its gap from the anchor and from the screen's edges alike.
    static QPoint placement(QSize size, const QRect& anchor, const QRect& available);

    // The panel closed within the last few hundred milliseconds: a click on the tray icon that
    // arrives now is the very click that closed it.
    bool justClosed() const;

signals:
    // "退出" was chosen.
    void quitRequested();
    // A recent item that can be opened (RowActions::opens) was clicked; the panel has closed.
    void openRequested(CompressionItem* item);

protected:
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void refreshPresets();
    void refreshRecent();

    AppModel& model_;
    QComboBox* presets_;
    QLabel* recentCaption_;
    std::array<RecentRow*, recentCount> recent_{};
    QElapsedTimer sinceClosed_;
};

}  // namespace dorvex::app
