#pragma once
// LevelPopover: the compression level on a six-step slider — smallest files at the left, best
// quality at the right — with the chosen step's name and hint above it.

#include "views/options/OptionsPopover.h"

class QLabel;
class QSlider;

namespace dorvex::app {

class LevelPopover : public OptionsPopover {
    Q_OBJECT

public:
    explicit LevelPopover(ObservablePresetStore& store, QWidget* parent = nullptr);

    // The slider runs the other way from the level: position 7 − level, the level rounded to its step.
    static int sliderPosition(double level);
    static double level(int sliderPosition);

private:
    void display(const CompressionOptions& options) override;

    QLabel* caption_;
    QSlider* slider_;
};

}  // namespace dorvex::app
