#include "views/options/ParameterChip.h"

#include <algorithm>

#include <QPainter>
#include <QPainterPath>

#include "views/options/Popover.h"

namespace dorvex::app {

namespace {

constexpr int padding = 12;     // left and right of the text
constexpr int chevronSide = 7;  // the down-pointing mark after the text
constexpr int chevronGap = 6;

}  // namespace

ParameterChip::ParameterChip(ContentFactory makeContent, QWidget* parent)
    : QAbstractButton(parent), makeContent_(std::move(makeContent)) {
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setAttribute(Qt::WA_Hover);
    connect(this, &QAbstractButton::pressed, this, &ParameterChip::toggle);
}

void ParameterChip::setTitle(const QString& title) { setText(title); }

bool ParameterChip::isOpen() const { return popover_ != nullptr && popover_->isVisible(); }

QSize ParameterChip::sizeHint() const {
    // A pixel or two more than the advance: text in a fallback font (Chinese) measures a little
    // narrower than it is drawn, and would be cut.
    const int textWidth = fontMetrics().boundingRect(text()).width() + 2;
    return {padding + std::max(textWidth, fontMetrics().horizontalAdvance(text())) + chevronGap + chevronSide + padding,
            fontMetrics().height() + 12};
}

void ParameterChip::toggle() {
    // The pop-up takes the mouse, so the release of this press never reaches the chip.
    setDown(false);
    if (isOpen()) {
        popover_->close();
        return;
    }
    if (popover_ == nullptr) {
        popover_ = new Popover(this);
        popover_->setContent(makeContent_());
        connect(popover_, &Popover::closed, this, qOverload<>(&QWidget::update));
    }
    popover_->popUp();
    update();
}

void ParameterChip::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF face = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QColor fill = palette().color(QPalette::Button);
    if (isOpen() || isDown()) fill = palette().color(QPalette::Highlight);
    else if (underMouse()) fill = fill.lightnessF() < 0.5 ? fill.lighter(120) : fill.darker(106);
    if (isOpen() || isDown()) fill.setAlphaF(0.22);
    painter.setPen(QPen(hasFocus() ? palette().color(QPalette::Highlight) : palette().color(QPalette::Mid), 1));
    painter.setBrush(fill);
    painter.drawRoundedRect(face, face.height() / 2, face.height() / 2);

    const QPalette::ColorGroup group = isEnabled() ? QPalette::Active : QPalette::Disabled;
    const QColor ink = palette().color(group, QPalette::ButtonText);
    const QRect textArea = rect().adjusted(padding, 0, -(padding + chevronGap + chevronSide), 0);
    painter.setPen(ink);
    painter.drawText(textArea, Qt::AlignLeft | Qt::AlignVCenter,
                     fontMetrics().elidedText(text(), Qt::ElideRight, textArea.width()));

    const qreal x = textArea.right() + 1 + chevronGap;
    const qreal y = height() / 2.0 - chevronSide / 4.0;
    QPainterPath chevron;
    chevron.moveTo(x, y);
    chevron.lineTo(x + chevronSide / 2.0, y + chevronSide / 2.0);
    chevron.lineTo(x + chevronSide, y);
    painter.setPen(QPen(ink, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(chevron);
}

}  // namespace dorvex::app
