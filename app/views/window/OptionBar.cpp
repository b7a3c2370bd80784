#include "views/window/OptionBar.h"

#include <QHBoxLayout>
#include <QPushButton>

#include <cmath>

#include "dorvex/text/Format.h"
#include "model/AppModel.h"
#include "model/UiText.h"
#include "views/ThemeIcon.h"
#include "views/options/FormatPopover.h"
#include "views/options/LevelPopover.h"
#include "views/options/MaxSizePopover.h"
#include "views/options/ParameterChip.h"
#include "views/options/SaveLocationPopover.h"

namespace dorvex::app {

namespace {

// The save location's chip is cut in the middle past this width, so that the row stays whole.
constexpr int locationChipMaxTextWidth = 200;

}  // namespace

QString levelChipTitle(const CompressionOptions& options) {
    const double rounded = std::round(options.level);
    return ui("级别 %1 · %2").arg(static_cast<int>(rounded)).arg(QString::fromStdString(Format::levelName(rounded)));
}

QString formatChipTitle(const CompressionOptions& options) {
    if (!options.format) return ui("原格式");
    if (options.usesLosslessJXL()) return ui("JPEG XL · 无损");
    const std::string_view name = options.format->displayName();
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

OptionBar::OptionBar(AppModel& model, SettingsStore& settings, QWidget* parent)
    : QWidget(parent), model_(model), settings_(settings) {
    setObjectName(QStringLiteral("optionBar"));
    ObservablePresetStore& store = model_.presets();
    level_ = new ParameterChip([&store] { return new LevelPopover(store); }, this);
    level_->setObjectName(QStringLiteral("levelChip"));
    format_ = new ParameterChip([&store] { return new FormatPopover(store); }, this);
    format_->setObjectName(QStringLiteral("formatChip"));
    size_ = new ParameterChip([&store] { return new MaxSizePopover(store); }, this);
    size_->setObjectName(QStringLiteral("sizeLimitChip"));
    location_ = new ParameterChip(
        [&store, this] { return new SaveLocationPopover(store, settings_); }, this);
    location_->setObjectName(QStringLiteral("saveLocationChip"));

    recompressAll_ = new QPushButton(themeIcon(QStringLiteral("view-refresh"), QStringLiteral("refresh.svg")),
                                     ui("全部重压"), this);
    recompressAll_->setObjectName(QStringLiteral("recompressAllButton"));
    connect(recompressAll_, &QPushButton::clicked, &model_, &AppModel::recompressAll);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    for (ParameterChip* chip : {level_, format_, size_, location_}) layout->addWidget(chip);
    layout->addStretch(1);
    layout->addWidget(recompressAll_);

    const auto refreshRecompressAll = [this] { recompressAll_->setEnabled(!model_.items().isEmpty()); };
    connect(&store, &ObservablePresetStore::optionsChanged, this, &OptionBar::refreshTitles);
    connect(&model_, &AppModel::summaryChanged, this, refreshRecompressAll);
    refreshTitles();
    refreshRecompressAll();
}

void OptionBar::refreshTitles() {
    const CompressionOptions& options = model_.presets().options();
    level_->setTitle(levelChipTitle(options));
    format_->setTitle(formatChipTitle(options));
    size_->setTitle(QString::fromStdString(Format::maxSize(options)));
    const QString location = QString::fromStdString(Format::saveLocation(options.saveLocation, options.filenamePrefix));
    location_->setTitle(location_->fontMetrics().elidedText(location, Qt::ElideMiddle, locationChipMaxTextWidth));
    location_->setToolTip(location);
}

}  // namespace dorvex::app
