#pragma once
// PresetBar: the row of preset pills in library order, the button that saves the current options
// as a new preset, and the prompts for a new preset's name and for renaming one. It follows the
// preset store: pills are rebuilt when the library changes and restyled when the selection or the
// options change.

#include <QWidget>

#include <vector>

#include "dorvex/platform/Uuid.h"

class QHBoxLayout;

namespace dorvex::app {

class NamePrompt;
class ObservablePresetStore;
class PresetPill;

class PresetBar : public QWidget {
    Q_OBJECT

public:
    explicit PresetBar(ObservablePresetStore& store, QWidget* parent = nullptr);

    const std::vector<PresetPill*>& pills() const { return pills_; }
    // Open the prompts (the "+" button and a pill's "重命名…" do); they are window-modal and
    // delete themselves when closed.
    NamePrompt* promptNewPreset();
    NamePrompt* promptRename(const Uuid& id);

private:
    void rebuild();
    void restyle();

    ObservablePresetStore& store_;
    QHBoxLayout* row_;
    std::vector<PresetPill*> pills_;
};

}  // namespace dorvex::app
