#include "views/window/EncoderBanner.h"

#include <QHBoxLayout>
#include <QLabel>

#include "model/UiText.h"
#include "views/ThemeIcon.h"
#include "views/window/Banner.h"

namespace dorvex::app {

QString encoderInstallHint() {
    return ui("sudo apt install pngquant webp libjxl-tools 并运行 scripts/setup（安装 mozjpeg）");
}

QString missingEncodersText(const QStringList& missing) {
    return ui("找不到压缩器：%1。请先 %2 再重新启动 App。").arg(missing.join(ui("、")), encoderInstallHint());
}

EncoderBanner::EncoderBanner(QWidget* parent) : QWidget(parent), text_(new QLabel(this)) {
    setObjectName(QStringLiteral("encoderBanner"));
    text_->setObjectName(QStringLiteral("encoderBannerText"));
    text_->setWordWrap(true);
    text_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QLabel* symbol = bannerSymbol(this, themeIcon(QStringLiteral("dialog-warning"), QStringLiteral("warning.svg")));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(14, 9, 14, 9);
    layout->setSpacing(8);
    layout->addWidget(symbol);
    layout->addWidget(text_, 1);
    hide();
}

void EncoderBanner::setMissing(const QStringList& missing) {
    text_->setText(missing.isEmpty() ? QString() : missingEncodersText(missing));
    setVisible(!missing.isEmpty());
}

void EncoderBanner::paintEvent(QPaintEvent*) {
    // A band of the warning colour, light enough for the window's text on either palette.
    QColor band(0xe8, 0xa3, 0x17);
    band.setAlphaF(0.16);
    QColor line = band;
    line.setAlphaF(0.45);
    paintBannerBand(this, band, line);
}

}  // namespace dorvex::app
