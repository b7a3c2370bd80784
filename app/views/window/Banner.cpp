#include "views/window/Banner.h"

#include <QIcon>
#include <QLabel>
#include <QPainter>

namespace dorvex::app {

QLabel* bannerSymbol(QWidget* banner, const QIcon& icon) {
    auto* symbol = new QLabel(banner);
    symbol->setPixmap(icon.pixmap(QSize(18, 18), banner->devicePixelRatioF()));
    symbol->setAlignment(Qt::AlignTop);
    return symbol;
}

void paintBannerBand(QWidget* banner, const QColor& band, const QColor& rule) {
    QPainter painter(banner);
    painter.fillRect(banner->rect(), band);
    painter.fillRect(QRect(0, banner->height() - 1, banner->width(), 1), rule);
}

}  // namespace dorvex::app
