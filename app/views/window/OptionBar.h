#pragma once
// OptionBar: the row of the four option chips — level, format, size limit, save location — each
// opening its popover over the preset store's current options, and "全部重压". The chips' titles
// follow the options as they change.

#include <QString>
#include <QWidget>

#include "dorvex/library/SettingsStore.h"
#include "dorvex/model/CompressionOptions.h"

class QPushButton;

namespace dorvex::app {

class AppModel;
class ParameterChip;

// "级别 3 · 平衡": the level rounded to a whole number and its name.
QString levelChipTitle(const CompressionOptions& options);
// "原格式", "JPEG XL · 无损", or the format's name.
QString formatChipTitle(const CompressionOptions& options);

class OptionBar : public QWidget {
    Q_OBJECT

public:
    OptionBar(AppModel& model, SettingsStore& settings, QWidget* parent = nullptr);

private:
    void refreshTitles();

    AppModel& model_;
    SettingsStore& settings_;
    ParameterChip* level_;
    ParameterChip* format_;
    ParameterChip* size_;
    ParameterChip* location_;
    QPushButton* recompressAll_;
};

}  // namespace dorvex::app
