#include "views/options/SegmentedPicker.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QPainter>
#include <QStyleOptionButton>
#include <QToolButton>

namespace dorvex::app {

namespace {

constexpr int inset = 2;  // between the control's edge and its segments

// One segment: its text centred, a raised rounded face when chosen.
class Segment : public QToolButton {
public:
    explicit Segment(const QString& text) {
        setText(text);
        setCheckable(true);
        setAutoRaise(true);
        setFocusPolicy(Qt::TabFocus);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

    QSize sizeHint() const override {
        return {fontMetrics().horizontalAdvance(text()) + 16, fontMetrics().height() + 8};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (isChecked()) {
            painter.setPen(QPen(palette().color(QPalette::Mid), 0.8));
            painter.setBrush(palette().color(QPalette::Base));
            painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 5, 5);
        }
        if (hasFocus()) {
            painter.setPen(QPen(palette().color(QPalette::Highlight), 1.5));
            painter.setBrush(Qt::NoBrush);
            painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 5, 5);
        }
        const QPalette::ColorGroup group = isEnabled() ? QPalette::Active : QPalette::Disabled;
        painter.setPen(palette().color(group, QPalette::ButtonText));
        painter.drawText(rect(), Qt::AlignCenter, fontMetrics().elidedText(text(), Qt::ElideRight, width() - 4));
    }
};

}  // namespace

SegmentedPicker::SegmentedPicker(const QStringList& choices, QWidget* parent)
    : QWidget(parent), group_(new QButtonGroup(this)) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(inset, inset, inset, inset);
    layout->setSpacing(inset);
    for (int index = 0; index < choices.size(); ++index) {
        auto* segment = new Segment(choices[index]);
        group_->addButton(segment, index);
        layout->addWidget(segment);
    }
    connect(group_, &QButtonGroup::idClicked, this, &SegmentedPicker::activated);
}

int SegmentedPicker::current() const { return group_->checkedId(); }

void SegmentedPicker::setCurrent(int index) {
    if (QAbstractButton* button = group_->button(index)) button->setChecked(true);
}

QAbstractButton* SegmentedPicker::segment(int index) const { return group_->button(index); }

void SegmentedPicker::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QColor window = palette().color(QPalette::Window);
    painter.setBrush(window.lightnessF() < 0.5 ? window.lighter(140) : window.darker(110));
    painter.drawRoundedRect(QRectF(rect()), 7, 7);
}

}  // namespace dorvex::app
