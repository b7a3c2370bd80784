#include "views/options/SwitchButton.h"

#include <QPainter>

namespace dorvex::app {

namespace {

constexpr int trackWidth = 34;
constexpr int trackHeight = 20;
constexpr int gap = 10;  // between the text and the track

}  // namespace

SwitchButton::SwitchButton(const QString& text, QWidget* parent) : QAbstractButton(parent) {
    setText(text);
    setCheckable(true);
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize SwitchButton::sizeHint() const {
    return {fontMetrics().horizontalAdvance(text()) + gap + trackWidth, qMax(fontMetrics().height(), trackHeight) + 4};
}

QSize SwitchButton::minimumSizeHint() const { return {trackWidth + gap + 40, sizeHint().height()}; }

void SwitchButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette::ColorGroup group = isEnabled() ? QPalette::Active : QPalette::Disabled;
    const QRect track(width() - trackWidth - 1, (height() - trackHeight) / 2, trackWidth, trackHeight);
    const QRect textArea(0, 0, track.left() - gap, height());
    painter.setPen(palette().color(group, QPalette::WindowText));
    painter.drawText(textArea, Qt::AlignLeft | Qt::AlignVCenter,
                     fontMetrics().elidedText(text(), Qt::ElideRight, textArea.width()));

    if (!isEnabled()) painter.setOpacity(0.45);
    QColor fill = isChecked() ? palette().color(QPalette::Active, QPalette::Highlight) : palette().color(QPalette::Mid);
    if (isDown()) fill = fill.darker(110);
    painter.setPen(hasFocus() ? QPen(palette().color(QPalette::Highlight).lighter(130), 2) : Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(track), trackHeight / 2.0, trackHeight / 2.0);
    const int knob = trackHeight - 4;
    const int knobX = isChecked() ? track.right() - knob - 1 : track.left() + 2;
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(knobX, track.top() + 2, knob, knob));
}

}  // namespace dorvex::app
