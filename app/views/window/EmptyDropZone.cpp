#include "views/window/EmptyDropZone.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "model/UiText.h"
#include "views/ThemeIcon.h"

namespace dorvex::app {

namespace {

constexpr int symbolSide = 56;

QLabel* caption(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignCenter);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

}  // namespace

EmptyDropZone::EmptyDropZone(QWidget* parent) : QWidget(parent), symbol_(new QLabel(this)) {
    setObjectName(QStringLiteral("emptyDropZone"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(6);
    layout->addStretch(1);
    symbol_->setAlignment(Qt::AlignCenter);
    layout->addWidget(symbol_);
    layout->addSpacing(10);
    auto* title = new QLabel(ui("拖入图片或文件夹"), this);
    title->setObjectName(QStringLiteral("emptyDropZoneTitle"));
    title->setAlignment(Qt::AlignCenter);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.35);
    title->setFont(titleFont);
    layout->addWidget(title);
    layout->addSpacing(4);
    for (const QString& line : {ui("图片：%1").arg(QStringLiteral("JPEG · PNG · WebP · AVIF · HEIC · JPEG XL · TIFF · ICNS")),
                                ui("视频：%1").arg(QStringLiteral("MP4 · MOV")), ui("文档：%1").arg(QStringLiteral("PDF"))}) {
        layout->addWidget(caption(line, this));
    }
    layout->addStretch(1);
    refreshSymbol();
}

void EmptyDropZone::setTargeted(bool targeted) {
    if (targeted_ == targeted) return;
    targeted_ = targeted;
    update();
}

void EmptyDropZone::refreshSymbol() {
    // Drawn in the secondary text colour, whatever colour the theme's or our drawing has.
    QPixmap pixmap = themeIcon(QStringLiteral("document-import"), QStringLiteral("import.svg"))
                         .pixmap(QSize(symbolSide, symbolSide), devicePixelRatioF());
    QPainter tint(&pixmap);
    tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
    tint.fillRect(pixmap.rect(), palette().color(QPalette::PlaceholderText));
    tint.end();
    symbol_->setPixmap(pixmap);
}

void EmptyDropZone::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) refreshSymbol();
    QWidget::changeEvent(event);
}

void EmptyDropZone::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect()).adjusted(12.5, 12.5, -12.5, -12.5);
    QPainterPath path;
    path.addRoundedRect(frame, 14, 14);
    QColor accent = palette().color(QPalette::Highlight);
    if (targeted_) {
        QColor tint = accent;
        tint.setAlphaF(0.08);
        painter.fillPath(path, tint);
    }
    accent.setAlphaF(targeted_ ? 0.9 : 0.4);
    QPen pen(accent, 1.5, Qt::CustomDashLine);
    pen.setDashPattern({6, 4});
    painter.setPen(pen);
    painter.drawPath(path);
}

}  // namespace dorvex::app
