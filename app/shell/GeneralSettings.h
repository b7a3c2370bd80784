#pragma once
// GeneralSettings: the settings window's "通用" page — whether the tray icon is shown and whether
// the application keeps running in the tray once the main window is closed. Both switches follow
// the settings store both ways: a change made anywhere else (another window, another process's
// write seen by this store) shows at once.

#include <QWidget>

#include "dorvex/library/SettingsStore.h"

class QLabel;

namespace dorvex::app {

class SettingSwitch;

class GeneralSettings : public QWidget {
    Q_OBJECT

public:
    explicit GeneralSettings(SettingsStore& settings, QWidget* parent = nullptr);

private:
    SettingSwitch* showIcon_;
    SettingSwitch* keepRunning_;
    QLabel* trayCaption_;
};

}  // namespace dorvex::app
