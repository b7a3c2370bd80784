#pragma once
// Popover: a small frameless pop-up panel beside an anchor widget — rounded, in the window colour
// with a thin border, holding one content widget. It closes on a click outside or Escape, stays
// within the anchor's screen and follows its content's height as parts of it appear and disappear,
// staying attached to the anchor meanwhile.

#include <QFrame>

namespace dorvex::app {

class Popover : public QFrame {
    Q_OBJECT

public:
    static constexpr int panelWidth = 260;
    static constexpr int panelMargin = 12;

    // The popover belongs to `anchor` (its parent), below which it opens.
    explicit Popover(QWidget* anchor);

    // Takes ownership of `content`.
    void setContent(QWidget* content);
    // Shows the popover below the anchor (above it when the screen ends below), within the screen.
    void popUp();

    // Where a window of `size` opens beside `anchor` (both in global coordinates) within the
    // screen's `available` area kept `inset` from its edges: `gap` below the anchor, centred on it;
    // above it when there is no room below; when it fits on neither side, on the side with more
    // room. Then shifted into the area; a window taller than the area keeps its top edge visible.
    static QPoint placement(QSize size, const QRect& anchor, const QRect& available, int gap, int inset);

    // A dialog cannot be used over an open pop-up: closes the popover that holds `content`, if
    // any, and returns the window a dialog opened from `content` should belong to.
    static QWidget* dismissFor(QWidget* content);

signals:
    void closed();

protected:
    bool event(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void fitHeight();
    void place();

    QWidget* anchor_;
};

}  // namespace dorvex::app
