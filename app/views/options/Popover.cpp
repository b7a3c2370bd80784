#include "views/options/Popover.h"

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
    fitHeight();
    const QRect anchorRect(anchor_->mapToGlobal(QPoint(0, 0)), anchor_->size());
    QPoint position(anchorRect.center().x() - panelWidth / 2, anchorRect.bottom() + 1 + anchorGap);
    if (const QScreen* screen = anchor_->screen()) {
        const QRect area = screen->availableGeometry().adjusted(screenInset, screenInset, -screenInset, -screenInset);
        if (position.y() + height() > area.bottom() && anchorRect.top() - anchorGap - height() >= area.top())
            position.setY(anchorRect.top() - anchorGap - height());
        position.setX(qBound(area.left(), position.x(), qMax(area.left(), area.right() + 1 - panelWidth)));
        position.setY(qMax(area.top(), position.y()));
    }
    move(position);
    show();
    if (!isAncestorOf(focusWidget())) focusNextChild();
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
    if (event->type() == QEvent::LayoutRequest) fitHeight();
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
