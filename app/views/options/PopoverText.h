#pragma once
// PopoverText: the labels of the option popovers — a bold title, a small wrapping caption, and the
// tints a caption takes (secondary grey, orange for a warning, red for an error), chosen to stay
// readable on light and dark palettes alike.

#include <QString>

class QLabel;

namespace dorvex::app::PopoverText {

enum class Tint { secondary, warning, error };

QLabel* title(const QString& text);
// A caption in the small font, wrapping at the popover's width.
QLabel* caption(const QString& text = {}, Tint tint = Tint::secondary);
// Gives any label the small font and a tint (the naming preview, an elided label, is one).
void style(QLabel* label, Tint tint);

}  // namespace dorvex::app::PopoverText
