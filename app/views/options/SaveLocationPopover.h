#pragma once
// SaveLocationPopover: where outputs go — beside their sources, into a chosen folder, or in place
// of the sources — and how they are named (prefix, suffix), with the name a sample photo would get
// or the reason the naming cannot work. A prefix or suffix that cannot work is refused as it is
// typed: the options keep the last naming that can, and the field shows the reason until it is
// corrected or the popover closes. The folder last chosen is remembered in the settings.

#include <filesystem>
#include <functional>
#include <optional>

#include "views/options/OptionsPopover.h"

class QComboBox;
class QLabel;
class QLineEdit;

namespace dorvex {
class SettingsStore;
}

namespace dorvex::app {

class ElidedLabel;

class SaveLocationPopover : public OptionsPopover {
    Q_OBJECT

public:
    enum class Mode { source, folder, overwrite };
    // Asks the user for a folder; none when they cancel.
    using FolderChooser = std::function<std::optional<std::filesystem::path>(QWidget* parent)>;

    // The desktop's folder dialog: folders only, new folders allowed, confirmed with "选择".
    static std::optional<std::filesystem::path> chooseFolderWithDialog(QWidget* parent);

    SaveLocationPopover(ObservablePresetStore& store, SettingsStore& settings,
                        FolderChooser chooseFolder = chooseFolderWithDialog, QWidget* parent = nullptr);

    static Mode modeOf(const SaveLocation& location);
    // The suffix of the source and folder modes; the default suffix in the overwrite mode.
    static std::string suffixOf(const SaveLocation& location);

protected:
    void hideEvent(QHideEvent* event) override;

private:
    void display(const CompressionOptions& options) override;
    // The prefix or suffix field changed: writes the naming when it can work.
    void namingEdited();
    // The sample output name of `options`, or why their naming cannot work.
    void showNaming(const CompressionOptions& options);
    void choose(Mode mode);
    void changeFolder();
    // The folder mode with `folder`, keeping the suffix.
    void useFolder(const std::filesystem::path& folder);
    // Runs the chooser and remembers what it returns.
    std::optional<std::filesystem::path> askForFolder();
    std::optional<std::filesystem::path> rememberedFolder() const;

    SettingsStore& settings_;
    FolderChooser chooseFolder_;
    QComboBox* mode_;
    QWidget* folderRow_;
    ElidedLabel* folder_;
    QLabel* overwriteNote_;
    QWidget* naming_;
    QLineEdit* prefix_;
    QLineEdit* suffix_;
    ElidedLabel* preview_;
    QLabel* error_;
};

}  // namespace dorvex::app
