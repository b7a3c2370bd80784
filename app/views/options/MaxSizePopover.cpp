#include "views/options/MaxSizePopover.h"

#include <QLabel>
#include <QVBoxLayout>

#include "model/UiText.h"
#include "views/options/PopoverText.h"
#include "views/options/SizeLimitEditor.h"
#include "views/options/SwitchButton.h"

namespace dorvex::app {

MaxSizePopover::MaxSizePopover(ObservablePresetStore& store, QWidget* parent)
    : OptionsPopover(store, parent),
      imageLimit_(new SizeLimitEditor(ui("限制每张图的体积"), {200, SizeLimitEditor::Unit::kb})),
      videoLimit_(new SizeLimitEditor(ui("限制每个视频的体积"), {25, SizeLimitEditor::Unit::mb})),
      keepDimensions_(new SwitchButton(ui("保持尺寸（只降质量，不缩图）"))),
      losslessNote_(PopoverText::caption(ui("无损 JXL 不参与体积上限"))) {
    setObjectName(QStringLiteral("maxSizePopover"));
    imageLimit_->setObjectName(QStringLiteral("imageLimitEditor"));
    videoLimit_->setObjectName(QStringLiteral("videoLimitEditor"));
    keepDimensions_->setObjectName(QStringLiteral("keepDimensionsSwitch"));
    losslessNote_->setObjectName(QStringLiteral("losslessLimitNote"));

    column()->addWidget(imageLimit_);
    column()->addSpacing(4);
    column()->addWidget(videoLimit_);
    column()->addSpacing(4);
    column()->addWidget(keepDimensions_);
    column()->addWidget(PopoverText::caption(ui("图片和视频都先找能放进上限的最高质量，实在不够再缩尺寸。")));
    column()->addWidget(losslessNote_);

    connect(imageLimit_, &SizeLimitEditor::limitEdited, this,
            [this](std::optional<std::int64_t> limit) { edit([&](CompressionOptions& o) { o.maxBytes = limit; }); });
    connect(videoLimit_, &SizeLimitEditor::limitEdited, this,
            [this](std::optional<std::int64_t> limit) { edit([&](CompressionOptions& o) { o.videoMaxBytes = limit; }); });
    connect(keepDimensions_, &QAbstractButton::toggled, this,
            [this](bool on) { edit([&](CompressionOptions& o) { o.keepDimensions = on; }); });
    refresh();
}

void MaxSizePopover::display(const CompressionOptions& options) {
    imageLimit_->setLimit(options.maxBytes);
    videoLimit_->setLimit(options.videoMaxBytes);
    keepDimensions_->setChecked(options.keepDimensions);
    keepDimensions_->setEnabled(options.maxBytes || options.videoMaxBytes);
    losslessNote_->setVisible(options.usesLosslessJXL());
}

}  // namespace dorvex::app
