#include "shell/TrayDropZone.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>

#include "model/UiText.h"
#include "views/DroppedFiles.h"

namespace dorvex::app {

namespace {

constexpr int zoneHeight = 56;

}  // namespace

TrayDropZone::TrayDropZone(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("trayDropZone"));
    setAcceptDrops(true);
    setFixedHeight(zoneHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void TrayDropZone::setTargeted(bool targeted) {
    if (targeted_ == targeted) return;
    targeted_ = targeted;
    update();
}

void TrayDropZone::setCollected(std::optional<int> found) {
    if (collected_ == found) return;
    collected_ = found;
    update();
}

QString TrayDropZone::text() const { return collected_ ? collectingText(*collected_) : ui("拖到这里压缩"); }

void TrayDropZone::dragEnterEvent(QDragEnterEvent* event) {
    if (droppedFiles(event->mimeData()).isEmpty()) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    setTargeted(true);
}

void TrayDropZone::dragLeaveEvent(QDragLeaveEvent*) { setTargeted(false); }

void TrayDropZone::dropEvent(QDropEvent* event) {
    setTargeted(false);
    const QList<QUrl> urls = droppedFiles(event->mimeData());
    if (urls.isEmpty()) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    emit dropped(urls);
}

void TrayDropZone::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor accent = palette().color(QPalette::Highlight);
    painter.setPen(accent);
    painter.drawText(rect(), Qt::AlignCenter, text());
    accent.setAlphaF(targeted_ ? 0.9f : 0.4f);
    painter.setPen(QPen(accent, 2));
    QPainterPath frame;
    frame.addRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 10, 10);
    painter.drawPath(frame);
}

}  // namespace dorvex::app
