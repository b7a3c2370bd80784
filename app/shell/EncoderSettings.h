#pragma once
// EncoderSettings: the settings window's "编码器" page — for each external encoder its version and
// path, or that it was not found and how to install it; then what writes the other formats; then
// the switch for measuring each written picture's perceptual difference. The versions are asked of
// the tools the first time the page is shown, one tool after another off the main thread, and each
// row fills in as its answer arrives.

#include <QThreadPool>
#include <QWidget>

#include <array>

#include "dorvex/image/Toolchain.h"
#include "dorvex/library/SettingsStore.h"

class QLabel;

namespace dorvex::app {

class EncoderSettings : public QWidget {
    Q_OBJECT

public:
    EncoderSettings(SettingsStore& settings, Toolchain toolchain, QWidget* parent = nullptr);
    // Waits for a version probe under way (each is bounded by Toolchain::version's time limit).
    ~EncoderSettings() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void detectVersions();

    struct Row {
        QLabel* version;
        QLabel* path;
    };
    const Toolchain toolchain_;
    std::array<Row, Toolchain::tools.size()> rows_{};
    bool detectionStarted_ = false;
    QThreadPool probes_;
};

}  // namespace dorvex::app
