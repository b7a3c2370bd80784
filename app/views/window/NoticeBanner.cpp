#include "views/window/NoticeBanner.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>

#include "model/UiText.h"
#include "views/ThemeIcon.h"
#include "views/window/Banner.h"

namespace dorvex::app {

NoticeBanner::NoticeBanner(QWidget* parent) : QWidget(parent), text_(new QLabel(this)) {
    setObjectName(QStringLiteral("noticeBanner"));
    text_->setObjectName(QStringLiteral("noticeBannerText"));
    text_->setWordWrap(true);
    text_->setTextFormat(Qt::PlainText);
    text_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QLabel* symbol =
        bannerSymbol(this, themeIcon(QStringLiteral("dialog-error"), QStringLiteral("xmark-circle-fill.svg")));
    auto* close = new QToolButton(this);
    close->setObjectName(QStringLiteral("noticeBannerClose"));
    close->setText(ui("关闭"));
    close->setToolTip(ui("关闭"));
    close->setAutoRaise(true);
    connect(close, &QToolButton::clicked, this, &NoticeBanner::dismiss);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(14, 9, 8, 9);
    row->setSpacing(8);
    row->addWidget(symbol, 0, Qt::AlignTop);
    row->addWidget(text_, 1);
    row->addWidget(close, 0, Qt::AlignTop);
    hide();
}

void NoticeBanner::post(const QString& text) {
    if (text.isEmpty() || notices_.contains(text)) return;
    notices_ << text;
    text_->setText(notices_.join(QStringLiteral("\n")));
    show();
}

void NoticeBanner::dismiss() {
    notices_.clear();
    text_->clear();
    hide();
}

void NoticeBanner::paintEvent(QPaintEvent*) {
    // A faint red band with a firmer rule below it, readable on light and dark palettes.
    paintBannerBand(this, QColor(0xd9, 0x3b, 0x30, 38), QColor(0xd9, 0x3b, 0x30, 110));
}

}  // namespace dorvex::app
