#pragma once
// PresetPill: one preset's button in the main window's bottom bar. Pressing it selects the preset;
// the selected pill is drawn in the accent colour, and a small dot after its name says that the
// current options differ from the preset's. Its context menu updates, renames or deletes it.

#include <QAbstractButton>

#include <memory>

#include "dorvex/library/Preset.h"

class QMenu;

namespace dorvex::app {

class ObservablePresetStore;

class PresetPill : public QAbstractButton {
    Q_OBJECT

public:
    PresetPill(ObservablePresetStore& store, Preset preset, QWidget* parent = nullptr);

    const Preset& preset() const { return preset_; }
    bool isSelected() const { return selected_; }
    bool isModified() const { return modified_; }
    void setState(bool selected, bool modified);

    // The pill's context menu, owned by the caller.
    std::unique_ptr<QMenu> contextMenu();

    QSize sizeHint() const override;

signals:
    // "重命名…" was chosen.
    void renameRequested(const dorvex::Uuid& id);

protected:
    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    ObservablePresetStore& store_;
    const Preset preset_;
    bool selected_ = false;
    bool modified_ = false;
    bool hovered_ = false;
};

}  // namespace dorvex::app
