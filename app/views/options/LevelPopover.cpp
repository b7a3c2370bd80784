#include "views/options/LevelPopover.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QSlider>

#include "dorvex/model/QualityModel.h"
#include "dorvex/text/Format.h"
#include "model/UiText.h"
#include "views/options/PopoverText.h"

namespace dorvex::app {

int LevelPopover::sliderPosition(double level) { return 7 - QualityModel::step(level).level; }

double LevelPopover::level(int sliderPosition) { return 7 - sliderPosition; }

LevelPopover::LevelPopover(ObservablePresetStore& store, QWidget* parent)
    : OptionsPopover(store, parent), caption_(PopoverText::caption()), slider_(new QSlider(Qt::Horizontal)) {
    setObjectName(QStringLiteral("levelPopover"));
    caption_->setObjectName(QStringLiteral("levelCaption"));
    slider_->setObjectName(QStringLiteral("levelSlider"));
    slider_->setAccessibleName(ui("级别"));
    slider_->setRange(1, 6);
    slider_->setSingleStep(1);
    slider_->setPageStep(1);
    slider_->setTickPosition(QSlider::TicksBelow);
    slider_->setTickInterval(1);

    auto* ends = new QHBoxLayout;
    ends->addWidget(PopoverText::caption(ui("体积更小")));
    ends->addStretch();
    ends->addWidget(PopoverText::caption(ui("质量更高")));

    column()->addWidget(PopoverText::title(ui("压缩级别")));
    column()->addWidget(caption_);
    column()->addWidget(slider_);
    column()->addLayout(ends);

    connect(slider_, &QSlider::valueChanged, this,
            [this](int position) { edit([&](CompressionOptions& o) { o.level = level(position); }); });
    refresh();
}

void LevelPopover::display(const CompressionOptions& options) {
    caption_->setText(QString::fromStdString(Format::levelName(options.level) + " · " + Format::levelHint(options.level)));
    slider_->setValue(sliderPosition(options.level));
}

}  // namespace dorvex::app
