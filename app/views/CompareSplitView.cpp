#include "views/CompareSplitView.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

#include "views/CompareZoom.h"

namespace dorvex::app {

namespace {

constexpr double handleRadius = 14;

void drawBusy(QPainter& painter, const QRectF& area, int angle) {
    painter.save();
    painter.setPen(QPen(QColor(255, 255, 255, 160), 3, Qt::SolidLine, Qt::RoundCap));
    const QRectF circle(area.center() - QPointF(12, 12), QSizeF(24, 24));
    painter.drawArc(circle, -angle * 16, 270 * 16);
    painter.restore();
}

void drawCaption(QPainter& painter, const QString& text, const QRectF& area, Qt::Alignment side) {
    if (text.isEmpty()) return;
    const QFontMetricsF metrics(painter.font());
    const QSizeF size(metrics.horizontalAdvance(text) + 16, metrics.height() + 8);
    const double x = side == Qt::AlignLeft ? area.left() + 10 : area.right() - 10 - size.width();
    const QRectF box(QPointF(x, area.top() + 10), size);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 150));
    painter.drawRoundedRect(box, 6, 6);
    painter.setPen(Qt::white);
    painter.drawText(box, Qt::AlignCenter, text);
}

}  // namespace

CompareSplitView::CompareSplitView(QWidget* parent) : CompareImageView(parent) {
    viewport()->setMouseTracking(true);
    spinner_.setInterval(50);
    connect(&spinner_, &QTimer::timeout, this, [this] {
        spinnerAngle_ = (spinnerAngle_ + 30) % 360;
        viewport()->update();
    });
}

void CompareSplitView::setPictures(const QImage& source, const QImage& output) {
    source_ = source;
    output_ = output;
    if (hasPictures())
        spinner_.stop();
    else
        spinner_.start();
    viewChanged();
    viewport()->update();
}

void CompareSplitView::setCaptions(const QString& left, const QString& right) {
    leftCaption_ = left;
    rightCaption_ = right;
    viewport()->update();
}

void CompareSplitView::setSplit(double fraction) {
    const double clamped = std::clamp(fraction, 0.0, 1.0);
    if (clamped == split_) return;
    split_ = clamped;
    viewport()->update();
    emit splitChanged(split_);
}

// The pixmaps are made again at the next paint, once however many changes came before it.
void CompareSplitView::viewChanged() { cacheStale_ = true; }

// The visible part of `picture` at the current zoom, as a viewport-sized pixmap at the screen's
// resolution. An output smaller than the source is stretched over the source's area.
QPixmap CompareSplitView::rendered(const QImage& picture) const {
    if (picture.isNull() || imageSize().width <= 0 || imageSize().height <= 0) return {};
    const double ratio = devicePixelRatioF();
    QPixmap pixmap(viewport()->size() * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    const QRectF target = imageRect().intersected(QRectF(viewport()->rect()));
    if (target.isEmpty()) return pixmap;
    const QRectF inImage(mapToImage(target.topLeft()), mapToImage(target.bottomRight()));
    const double sx = double(picture.width()) / imageSize().width;
    const double sy = double(picture.height()) / imageSize().height;
    const QRectF inPicture(inImage.left() * sx, inImage.top() * sy, inImage.width() * sx, inImage.height() * sy);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, picture, inPicture);
    return pixmap;
}

QRectF CompareSplitView::handleRect() const {
    const double x = split_ * viewport()->width();
    const double y = viewport()->height() / 2.0;
    return {x - handleRadius, y - handleRadius, 2 * handleRadius, 2 * handleRadius};
}

void CompareSplitView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF view(viewport()->rect());
    painter.fillRect(view, QColor(20, 20, 22));
    const double x = split_ * view.width();
    const QRectF left(view.left(), view.top(), x, view.height());
    const QRectF right(x, view.top(), view.width() - x, view.height());
    const QRectF picture = imageRect().intersected(view);
    if (cacheStale_) {
        sourceCache_ = rendered(source_);
        outputCache_ = rendered(output_);
        cacheStale_ = false;
    }

    auto drawSide = [&](const QPixmap& cached, const QRectF& side) {
        if (cached.isNull()) {
            drawBusy(painter, picture.intersected(side).isEmpty() ? side : picture.intersected(side), spinnerAngle_);
            return;
        }
        painter.save();
        painter.setClipRect(side);
        painter.drawPixmap(QPointF(0, 0), cached);
        painter.restore();
    };
    drawSide(sourceCache_, left);
    drawSide(outputCache_, right);

    painter.setPen(QPen(QColor(255, 255, 255, 220), 2));
    painter.drawLine(QPointF(x, view.top()), QPointF(x, view.bottom()));
    const QRectF handle = handleRect();
    painter.setBrush(Qt::white);
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(handle);
    painter.setPen(QPen(QColor(40, 40, 40), 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const QPointF c = handle.center();
    QPainterPath arrows;
    arrows.moveTo(c + QPointF(-7, 0));
    arrows.lineTo(c + QPointF(7, 0));
    for (const double d : {-1.0, 1.0}) {
        arrows.moveTo(c + QPointF(d * 4, -3));
        arrows.lineTo(c + QPointF(d * 7, 0));
        arrows.lineTo(c + QPointF(d * 4, 3));
    }
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(arrows);

    drawCaption(painter, leftCaption_, view, Qt::AlignLeft);
    drawCaption(painter, rightCaption_, view, Qt::AlignRight);
}

bool CompareSplitView::onDivider(QPointF point) const {
    return std::abs(point.x() - split_ * viewport()->width()) <= CompareZoom::dividerGrip || handleRect().contains(point);
}

Qt::CursorShape CompareSplitView::cursorAt(QPointF point) const {
    return onDivider(point) ? Qt::SplitHCursor : CompareImageView::cursorAt(point);
}

void CompareSplitView::dragSplitTo(double x) {
    setSplit(CompareZoom::splitFraction(x - *dragOffset_, viewport()->width()));
}

void CompareSplitView::mousePressEvent(QMouseEvent* event) {
    const QPointF at = event->position();
    const bool anywhere = event->modifiers() & Qt::ShiftModifier;
    if (event->button() != Qt::LeftButton || !(anywhere || onDivider(at))) return CompareImageView::mousePressEvent(event);
    // The divider keeps its distance from the pointer; with Shift it jumps to the pointer.
    dragOffset_ = anywhere ? 0.0 : at.x() - split_ * viewport()->width();
    dragSplitTo(at.x());
    viewport()->setCursor(Qt::SplitHCursor);
    event->accept();
}

void CompareSplitView::mouseMoveEvent(QMouseEvent* event) {
    if (!dragOffset_) return CompareImageView::mouseMoveEvent(event);
    dragSplitTo(event->position().x());
    event->accept();
}

void CompareSplitView::mouseReleaseEvent(QMouseEvent* event) {
    if (!dragOffset_ || event->button() != Qt::LeftButton) return CompareImageView::mouseReleaseEvent(event);
    dragOffset_.reset();
    viewport()->setCursor(cursorAt(event->position()));
    event->accept();
}

}  // namespace dorvex::app
