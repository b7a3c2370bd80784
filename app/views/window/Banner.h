#pragma once
// Banner: what the main window's bands (EncoderBanner, NoticeBanner) are made of — a symbol at the
// start of their row, and a tinted band with a firmer one-pixel rule along its bottom edge.

#include <QColor>

class QIcon;
class QLabel;
class QWidget;

namespace dorvex::app {

// A label of `banner` showing `icon` at 18 pixels, kept at the top of its row.
QLabel* bannerSymbol(QWidget* banner, const QIcon& icon);

// Paints the whole of `banner` in `band` and its bottom row of pixels in `rule`; for its paintEvent.
void paintBannerBand(QWidget* banner, const QColor& band, const QColor& rule);

}  // namespace dorvex::app
