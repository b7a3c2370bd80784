#include "views/window/PresetBar.h"

#include <QHBoxLayout>
#include <QToolButton>

#include "model/ObservablePresetStore.h"
#include "model/UiText.h"
#include "views/ThemeIcon.h"
#include "views/window/NamePrompt.h"
#include "views/window/PresetPill.h"

namespace dorvex::app {

PresetBar::PresetBar(ObservablePresetStore& store, QWidget* parent)
    : QWidget(parent), store_(store), row_(new QHBoxLayout) {
    setObjectName(QStringLiteral("presetBar"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    row_->setContentsMargins(0, 0, 0, 0);
    row_->setSpacing(6);
    layout->addLayout(row_);

    auto* add = new QToolButton(this);
    add->setObjectName(QStringLiteral("newPresetButton"));
    add->setIcon(themeIcon(QStringLiteral("list-add"), QStringLiteral("plus.svg")));
    add->setAutoRaise(true);
    add->setToolTip(ui("把当前参数存成新预设"));
    add->setAccessibleName(add->toolTip());
    connect(add, &QToolButton::clicked, this, [this] { promptNewPreset(); });
    layout->addWidget(add);
    layout->addStretch(1);

    connect(&store_, &ObservablePresetStore::libraryChanged, this, &PresetBar::rebuild);
    connect(&store_, &ObservablePresetStore::selectedIDChanged, this, &PresetBar::restyle);
    connect(&store_, &ObservablePresetStore::modifiedChanged, this, &PresetBar::restyle);
    rebuild();
}

void PresetBar::rebuild() {
    // The old pills may be running their own context menu (a pill deletes its own preset): they
    // go once control is back in the event loop.
    for (PresetPill* pill : pills_) {
        pill->hide();
        pill->deleteLater();
    }
    pills_.clear();
    for (const Preset& preset : store_.library().presets) {
        auto* pill = new PresetPill(store_, preset, this);
        connect(pill, &PresetPill::renameRequested, this, [this](const Uuid& id) { promptRename(id); });
        row_->addWidget(pill);
        pills_.push_back(pill);
    }
    restyle();
}

void PresetBar::restyle() {
    for (PresetPill* pill : pills_) {
        const bool selected = pill->preset().id == store_.selectedID();
        pill->setState(selected, selected && store_.isModified());
    }
}

NamePrompt* PresetBar::promptNewPreset() {
    auto* prompt = new NamePrompt(ui("新建预设"), ui("把当前的级别、格式、体积上限和保存位置存成预设"),
                                  QString(), window());
    prompt->setObjectName(QStringLiteral("newPresetPrompt"));
    connect(prompt, &QDialog::accepted, &store_,
            [store = &store_, prompt] { store->saveCurrentAsNew(prompt->name().toStdString()); });
    prompt->open();
    return prompt;
}

NamePrompt* PresetBar::promptRename(const Uuid& id) {
    const std::optional<Preset> preset = store_.library().preset(id);
    if (!preset) return nullptr;
    auto* prompt = new NamePrompt(ui("重命名预设"), QString(), QString::fromStdString(preset->shownName()), window());
    prompt->setObjectName(QStringLiteral("renamePresetPrompt"));
    connect(prompt, &QDialog::accepted, &store_,
            [store = &store_, prompt, id] { store->rename(id, prompt->name().toStdString()); });
    prompt->open();
    return prompt;
}

}  // namespace dorvex::app
