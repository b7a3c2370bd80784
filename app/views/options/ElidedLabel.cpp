#include "views/options/ElidedLabel.h"

#include <QPainter>

namespace dorvex::app {

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
    // The layout decides the width; the text never widens the popover.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setTextFormat(Qt::PlainText);
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = contentsRect();
    painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter, fontMetrics().elidedText(text(), Qt::ElideMiddle, area.width()));
}

}  // namespace dorvex::app
