#pragma once
// GeneralSettings: the settings window's "通用" page — whether the tray icon is shown and whether
// the application keeps running in the tray once the main window is closed. Both switches follow
// the settings store both ways: a change made anywhere else (another window, another process's
// write seen by this store) shows at once.

#include <QWidget>

#include "dorvex/library/SettingsStore.h"

class QCheckBox;
class QLabel;

namespace dorvex::app {

class GeneralSettings : public QWidget {
    Q_OBJECT

public:
    explicit GeneralSettings(SettingsStore& settings, QWidget* parent = nullptr);

private:
    void store(std::string_view key, bool on);
    void refresh();

    SettingsStore& settings_;
    QCheckBox* showIcon_;
    QCheckBox* keepRunning_;
    QLabel* trayCaption_;
    SettingsStore::Subscription subscription_;
};

}  // namespace dorvex::app
