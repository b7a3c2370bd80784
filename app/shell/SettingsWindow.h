#pragma once
// SettingsWindow: the application's settings — a fixed-size window with the "通用" page (the tray
// icon and keeping the application running) and the "编码器" page (the encoders found and their
// versions, and whether pictures get a perceptual score).

#include <QWidget>

#include "dorvex/image/Toolchain.h"
#include "dorvex/library/SettingsStore.h"

class QTabWidget;

namespace dorvex::app {

class SettingsWindow : public QWidget {
    Q_OBJECT

public:
    static constexpr QSize windowSize{480, 370};

    SettingsWindow(SettingsStore& settings, Toolchain toolchain, QWidget* parent = nullptr);

    QTabWidget* tabs() const { return tabs_; }

private:
    QTabWidget* tabs_;
};

}  // namespace dorvex::app
