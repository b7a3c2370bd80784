#include "views/CompareImageView.h"

#include <QGestureEvent>
#include <QMouseEvent>
#include <QPinchGesture>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollBar>
#include <QWheelEvent>

#include <cmath>

#include "views/CompareZoom.h"

namespace dorvex::app {

CompareImageView::CompareImageView(QWidget* parent) : QAbstractScrollArea(parent) {
    viewport()->grabGesture(Qt::PinchGesture);
    setFrameShape(QFrame::NoFrame);
}

void CompareImageView::setImageSize(PixelSize size) {
    imageSize_ = size;
    fitScale_ = CompareZoom::fitScale(imageSize_, viewport()->size(), devicePixelRatioOfScreen());
    updateScrollBars();
    viewChanged();
    viewport()->update();
    if (zoomToFit()) emit zoomChanged(zoom());
}

std::optional<double> CompareImageView::devicePixelRatioOfScreen() const {
    const QScreen* shown = screen();
    if (shown == nullptr) return std::nullopt;
    return shown->devicePixelRatio();
}

void CompareImageView::setZoom(double value, std::optional<QPointF> center) {
    applyScale(CompareZoom::clamped(value), center);
}

void CompareImageView::setZoomToFit() { applyScale(std::nullopt, std::nullopt); }

void CompareImageView::setZoomToActualSize() {
    applyScale(CompareZoom::actualPixelsScale(devicePixelRatioOfScreen()), std::nullopt);
}

void CompareImageView::zoomBy(double factor) { applyScale(CompareZoom::zoomed(zoom(), factor), std::nullopt); }

void CompareImageView::applyScale(std::optional<double> scale, std::optional<QPointF> center) {
    const QPointF anchor = center.value_or(QRectF(viewport()->rect()).center());
    const QPointF imagePoint = mapToImage(anchor);
    const bool wasFit = zoomToFit();
    scale_ = scale;
    updateScrollBars();
    // Keep the anchored image point under the anchor.
    const QPointF moved = mapToView(imagePoint) - anchor;
    horizontalScrollBar()->setValue(horizontalScrollBar()->value() + int(std::lround(moved.x())));
    verticalScrollBar()->setValue(verticalScrollBar()->value() + int(std::lround(moved.y())));
    viewChanged();
    viewport()->update();
    emit zoomChanged(zoom());
    if (wasFit != zoomToFit()) emit zoomToFitChanged(zoomToFit());
}

void CompareImageView::updateScrollBars() {
    const QSizeF drawn = CompareZoom::drawnSize(imageSize_, zoom());
    const QSize view = viewport()->size();
    horizontalScrollBar()->setRange(0, std::max(0, int(std::ceil(drawn.width())) - view.width()));
    verticalScrollBar()->setRange(0, std::max(0, int(std::ceil(drawn.height())) - view.height()));
    horizontalScrollBar()->setPageStep(view.width());
    verticalScrollBar()->setPageStep(view.height());
}

QRectF CompareImageView::imageRect() const {
    const QSizeF drawn = CompareZoom::drawnSize(imageSize_, zoom());
    const QSizeF view = viewport()->size();
    const double x = drawn.width() < view.width() ? (view.width() - drawn.width()) / 2 : -horizontalScrollBar()->value();
    const double y = drawn.height() < view.height() ? (view.height() - drawn.height()) / 2 : -verticalScrollBar()->value();
    return {QPointF(x, y), drawn};
}

bool CompareImageView::canPan() const {
    return horizontalScrollBar()->maximum() > 0 || verticalScrollBar()->maximum() > 0;
}

QPointF CompareImageView::mapToView(QPointF imagePoint) const { return imageRect().topLeft() + imagePoint * zoom(); }

QPointF CompareImageView::mapToImage(QPointF viewPoint) const { return (viewPoint - imageRect().topLeft()) / zoom(); }

bool CompareImageView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::Gesture) {
        pinch(static_cast<QGestureEvent*>(event));
        return true;
    }
    return QAbstractScrollArea::viewportEvent(event);
}

void CompareImageView::pinch(QGestureEvent* event) {
    auto* gesture = static_cast<QPinchGesture*>(event->gesture(Qt::PinchGesture));
    if (gesture == nullptr) return;
    if (gesture->state() == Qt::GestureFinished || gesture->state() == Qt::GestureCanceled) {
        pinchBase_.reset();
        return;
    }
    if (!(gesture->changeFlags() & QPinchGesture::ScaleFactorChanged)) return;
    if (pinchBase_ && std::abs(gesture->scaleFactor() - 1.0) < 0.01) return;
    if (!pinchBase_) pinchBase_ = zoom();
    setZoom(*pinchBase_ * gesture->totalScaleFactor(), viewport()->mapFromGlobal(gesture->centerPoint().toPoint()));
}

void CompareImageView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    fitScale_ = CompareZoom::fitScale(imageSize_, viewport()->size(), devicePixelRatioOfScreen());
    updateScrollBars();
    viewChanged();
    if (zoomToFit()) emit zoomChanged(zoom());
}

void CompareImageView::wheelEvent(QWheelEvent* event) {
    if (!(event->modifiers() & Qt::ControlModifier)) {
        QAbstractScrollArea::wheelEvent(event);
        return;
    }
    const double steps = event->angleDelta().y() / 120.0;
    if (steps == 0) return;
    setZoom(zoom() * std::pow(CompareZoom::zoomInFactor, steps), event->position());
    event->accept();
}

void CompareImageView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    applyScale(CompareZoom::toggled(scale_, devicePixelRatioOfScreen()), event->position());
}

void CompareImageView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !canPan()) return QAbstractScrollArea::mousePressEvent(event);
    pan_ = Pan{event->position(), {horizontalScrollBar()->value(), verticalScrollBar()->value()}};
    viewport()->setCursor(Qt::ClosedHandCursor);
    event->accept();
}

void CompareImageView::mouseMoveEvent(QMouseEvent* event) {
    if (!pan_) {
        viewport()->setCursor(cursorAt(event->position()));
        return QAbstractScrollArea::mouseMoveEvent(event);
    }
    // The picture follows the pointer: the scroll bars move against it.
    const QPointF moved = event->position() - pan_->from;
    horizontalScrollBar()->setValue(pan_->scroll.x() - int(std::lround(moved.x())));
    verticalScrollBar()->setValue(pan_->scroll.y() - int(std::lround(moved.y())));
    event->accept();
}

void CompareImageView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && pan_) {
        pan_.reset();
        viewport()->setCursor(cursorAt(event->position()));
        event->accept();
        return;
    }
    QAbstractScrollArea::mouseReleaseEvent(event);
}

Qt::CursorShape CompareImageView::cursorAt(QPointF) const { return canPan() ? Qt::OpenHandCursor : Qt::ArrowCursor; }

void CompareImageView::scrollContentsBy(int, int) {
    viewChanged();
    viewport()->update();
}

}  // namespace dorvex::app
