#pragma once
// SettingSwitch: a check box bound to one Boolean setting of the application's domain, on unless
// stored off. A click stores the new value; a change made anywhere else (another window, another
// process's write seen by the store) shows at once, and so does the stored value when a write
// fails. toggled() fires for every change the box shows, whoever made it.

#include <QCheckBox>

#include <string>
#include <string_view>

#include "dorvex/library/SettingsStore.h"

namespace dorvex::app {

class SettingSwitch : public QCheckBox {
    Q_OBJECT

public:
    SettingSwitch(const QString& text, SettingsStore& settings, std::string_view key, QWidget* parent = nullptr);

private:
    void store(bool on);
    // Shows what the store holds.
    void refresh();

    SettingsStore& settings_;
    const std::string key_;
    bool refreshing_ = false;
    SettingsStore::Subscription subscription_;
};

}  // namespace dorvex::app
