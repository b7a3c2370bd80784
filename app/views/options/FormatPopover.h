#pragma once
// FormatPopover: the output format — the source's own or one of the selectable formats — with the
// switches that belong to it (lossless JPEG XL; TIFF's compression when sources keep their
// format) and the video codec, which applies whatever the image format. Those switches share one
// place below the choices, as tall as the taller of them, so the popover keeps its size and the
// choices stay where they are whichever format is chosen.

#include "views/options/OptionsPopover.h"

class QButtonGroup;
class QStackedWidget;

namespace dorvex::app {

class SegmentedPicker;
class SwitchButton;

class FormatPopover : public OptionsPopover {
    Q_OBJECT

public:
    explicit FormatPopover(ObservablePresetStore& store, QWidget* parent = nullptr);

    // What the choice of a format is for: "兼容性最好" for JPEG, … (empty for formats not offered).
    static QString hint(OutputFormat format);

private:
    void display(const CompressionOptions& options) override;

    QButtonGroup* choices_;
    QStackedWidget* formatSwitches_;
    QWidget* noSwitch_;
    SwitchButton* jxlLossless_;
    QWidget* tiffRow_;
    SegmentedPicker* tiffCompression_;
    SegmentedPicker* videoCodec_;
};

}  // namespace dorvex::app
