#include "views/options/PopoverText.h"

#include <QLabel>
#include <QPalette>

namespace dorvex::app::PopoverText {

namespace {

// Light and dark versions of the warning and error colours: the dark ones on a light window, the
// light ones on a dark window.
QColor tintColor(const QPalette& palette, Tint tint) {
    const bool darkWindow = palette.color(QPalette::Window).lightnessF() < 0.5;
    switch (tint) {
    case Tint::secondary: return palette.color(QPalette::PlaceholderText);
    case Tint::warning: return darkWindow ? QColor(0xFF, 0xA6, 0x4D) : QColor(0xB8, 0x5C, 0x00);
    case Tint::error: return darkWindow ? QColor(0xFF, 0x6B, 0x6B) : QColor(0xC6, 0x28, 0x28);
    }
    return palette.color(QPalette::WindowText);
}

}  // namespace

QLabel* title(const QString& text) {
    auto* label = new QLabel(text);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

QLabel* caption(const QString& text, Tint tint) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    style(label, tint);
    return label;
}

void style(QLabel* label, Tint tint) {
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.9);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, tintColor(palette, tint));
    label->setPalette(palette);
}

}  // namespace dorvex::app::PopoverText
