#pragma once
// MaxSizePopover: the byte limits of images and of videos, and whether meeting them may shrink
// the picture or only lower the quality.

#include "views/options/OptionsPopover.h"

class QLabel;

namespace dorvex::app {

class SizeLimitEditor;
class SwitchButton;

class MaxSizePopover : public OptionsPopover {
    Q_OBJECT

public:
    explicit MaxSizePopover(ObservablePresetStore& store, QWidget* parent = nullptr);

private:
    void display(const CompressionOptions& options) override;

    SizeLimitEditor* imageLimit_;
    SizeLimitEditor* videoLimit_;
    SwitchButton* keepDimensions_;
    QLabel* losslessNote_;
};

}  // namespace dorvex::app
