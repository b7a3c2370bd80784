#include "views/options/Popover.h"

#include <algorithm>

#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>

namespace dorvex::app {

namespace {

constexpr int anchorGap = 6;    // between the anchor and the popover
constexpr int screenInset = 4;  // the popover keeps this far from the screen's edges
constexpr qreal cornerRadius = 10;

}  // namespace

Popover::Popover(QWidget* anchor) : QFrame(anchor, Qt::Popup | Qt::FramelessWindowHint), anchor_(anchor) {
    setAttribute(Qt::WA_TranslucentBackground);  // the rounded corners
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(panelMargin, panelMargin, panelMargin, panelMargin);
    setFixedWidth(panelWidth);
}

void Popover::setContent(QWidget* content) { layout()->addWidget(content); }

void Popover::popUp() {
    ensurePolished();
    fitHeight();
    place();
    show();
    if (!isAncestorOf(focusWidget())) focusNextChild();
}

QPoint Popover::placement(QSize size, const QRect& anchor, const QRect& available, int gap, int inset) {
    const QRect area = available.adjusted(inset, inset, -inset, -inset);
    const int below = anchor.bottom() + 1 + gap;
    const int roomBelow = area.bottom() + 1 - below;
    const int roomAbove = anchor.top() - gap - area.top();
    const bool opensAbove = roomBelow < size.height() && (roomAbove >= size.height() || roomAbove > roomBelow);
    const int y = opensAbove ? anchor.top() - gap - size.height() : below;
    const int x = anchor.center().x() - size.width() / 2;
    return {std::clamp(x, area.left(), std::max(area.left(), area.right() + 1 - size.width())),
            std::clamp(y, area.top(), std::max(area.top(), area.bottom() + 1 - size.height()))};
}

void Popover::place() {
    const QRect anchorRect(anchor_->mapToGlobal(QPoint(0, 0)), anchor_->size());
    if (const QScreen* screen = anchor_->screen())
        move(placement(size(), anchorRect, screen->availableGeometry(), anchorGap, screenInset));
}

QWidget* Popover::dismissFor(QWidget* content) {
    QWidget* window = content->window();
    auto* popover = qobject_cast<Popover*>(window);
    if (popover == nullptr) return window;
    popover->close();
    return popover->anchor_->window();
}

bool Popover::event(QEvent* event) {
    const bool handled = QFrame::event(event);
    if (event->type() == QEvent::LayoutRequest) {
        // Content that appears or disappears changes the height: the popover stays attached to
        // its anchor (one opened above it keeps its lower edge there) and on the screen.
        fitHeight();
        if (isVisible()) place();
    }
    return handled;
}

void Popover::mousePressEvent(QMouseEvent* event) {
    // A press outside closes the popover and is then delivered again to whatever lies under it.
    // A press on the anchor must not be: the anchor would open the popover that it just closed.
    const QPoint onAnchor = anchor_->mapFromGlobal(event->globalPosition().toPoint());
    setAttribute(Qt::WA_NoMouseReplay, !rect().contains(event->position().toPoint()) && anchor_->rect().contains(onAnchor));
    QFrame::mousePressEvent(event);
}

void Popover::hideEvent(QHideEvent* event) {
    QFrame::hideEvent(event);
    emit closed();
}

void Popover::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(palette().color(QPalette::Mid), 1));
    painter.setBrush(palette().color(QPalette::Window));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius, cornerRadius);
}

void Popover::fitHeight() {
    QLayout* column = layout();
    column->activate();
    const int fitted = column->hasHeightForWidth() ? column->totalHeightForWidth(panelWidth)
                                                   : column->totalSizeHint().height();
    setFixedHeight(fitted);
}

}  // namespace dorvex::app
