#pragma once
// PresetStore: the preset library of this user together with the selected preset and the current
// options (what new jobs get, edited freely without touching the library). Every library change
// is saved at once; the selection is remembered in the settings. One store per front end, used
// from one thread; the desktop application wraps it in an observable object.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "dorvex/library/Preset.h"
#include "dorvex/library/SettingsStore.h"

namespace dorvex {

class PresetStore {
public:
    // Receives the store's only log lines, each starting with "Dorvex: ".
    using Log = std::function<void(const std::string& line)>;

    // Reads the library from `file`. When `file` is the application's own presets file, the
    // earlier product's file is copied there first (once); should that copy fail, the failure is
    // logged and the earlier file is read in place (the first save writes it to `file`). The
    // selected preset is the one remembered in `settings` if it still exists, else the first.
    // On a read-only settings store the preset store is read-only too: the earlier file is read
    // in place instead of copied, an unusable file stays where it is, and every change (library
    // and selection) holds in memory only.
    PresetStore(std::filesystem::path file, SettingsStore& settings, Log log);

    const PresetLibrary& library() const { return library_; }
    const Uuid& selectedID() const { return selectedID_; }
    const CompressionOptions& options() const { return options_; }
    const std::filesystem::path& file() const { return file_; }

    // The preset whose identifier is selectedID(), else the library's first.
    const Preset& selected() const;
    // Whether the current options differ from the selected preset's.
    bool isModified() const { return options_ != selected().options; }
    // The first preset with this name, trimmed as names are when they are stored.
    std::optional<Preset> presetNamed(std::string_view name) const;

    // Edits the current options; the library is not touched.
    void setOptions(CompressionOptions options) { options_ = std::move(options); }
    // Selects a preset of the library, resets the current options to its options (unsaved edits
    // are discarded) and remembers the choice. False, changing nothing, for an unknown identifier.
    bool select(const Uuid& id);
    // Stores the current options as a new preset at the end of the library and selects it. A
    // blank name becomes "预设 N" in the user's language, N being the number of presets it makes.
    Preset saveCurrentAsNew(std::string_view name);
    // False, saving nothing, for a blank name, an unknown identifier or a built-in preset.
    bool rename(const Uuid& id, std::string_view name);
    // Writes the current options into the selected preset, built-in or not.
    void updateSelectedToCurrent();
    // Deletes a user preset; when it was the selected one, "默认" is selected. False for an
    // unknown identifier or a built-in preset.
    bool remove(const Uuid& id);

    // The name a new preset gets for `name` in a library of `count` presets.
    static std::string newPresetName(std::string_view name, std::size_t count);

private:
    // Saves the library (unless read-only); a failure is logged and the in-memory library keeps
    // the change.
    void persist();

    std::filesystem::path file_;
    SettingsStore& settings_;
    Log log_;
    PresetLibrary library_;
    Uuid selectedID_;
    CompressionOptions options_;
};

}  // namespace dorvex
