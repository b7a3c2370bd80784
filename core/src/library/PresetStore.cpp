#include "dorvex/library/PresetStore.h"

#include <cassert>

#include "dorvex/library/LegacyMigration.h"
#include "dorvex/platform/AppPaths.h"

namespace dorvex {

namespace fs = std::filesystem;

PresetStore::PresetStore(fs::path file, SettingsStore& settings, Log log)
    : file_(std::move(file)), settings_(settings), log_(std::move(log)) {
    fs::path reading = file_;
    const StoreAccess access = settings_.access();
    if (file_ == AppPaths::presetsFile() && access == StoreAccess::readOnly) {
        std::error_code error;
        if (!fs::exists(file_, error)) reading = AppPaths::legacyPresetsFile();
    } else if (file_ == AppPaths::presetsFile()) {
        try {
            LegacyMigration::copyPresetsIfNeeded(AppPaths::legacyPresetsFile(), file_);
        } catch (const std::exception& error) {
            log_(std::string("Dorvex: 迁移旧预设失败，将读取旧预设 ") + error.what());
            reading = AppPaths::legacyPresetsFile();
        }
    }
    // The earlier product's file is only ever read, whatever this store may do to its own.
    library_ = PresetLibrary::load(reading, reading == file_ ? access : StoreAccess::readOnly);
    assert(!library_.presets.empty());  // load() always brings the default preset

    selectedID_ = library_.presets.front().id;
    if (const auto text = settings_.stringValue(SettingsKeys::selectedPresetID)) {
        if (const auto id = Uuid::parse(*text); id && library_.preset(*id)) selectedID_ = *id;
    }
    options_ = selected().options;
}

const Preset& PresetStore::selected() const {
    for (const Preset& preset : library_.presets) {
        if (preset.id == selectedID_) return preset;
    }
    return library_.presets.front();
}

std::optional<Preset> PresetStore::presetNamed(std::string_view name) const {
    const std::string wanted = PresetLibrary::trimmedName(name);
    for (const Preset& preset : library_.presets) {
        if (preset.name == wanted) return preset;
    }
    return std::nullopt;
}

bool PresetStore::select(const Uuid& id) {
    const std::optional<Preset> preset = library_.preset(id);
    if (!preset) return false;
    selectedID_ = id;
    options_ = preset->options;
    try {
        settings_.setValue(SettingsKeys::selectedPresetID, id.text());
    } catch (const std::exception&) {
        // The choice holds for this run; the next start falls back on the first preset.
    }
    return true;
}

std::string PresetStore::newPresetName(std::string_view name, std::size_t count) {
    std::string trimmed = PresetLibrary::trimmedName(name);
    if (!trimmed.empty()) return trimmed;
    return i18nf("预设 {}", count + 1);
}

Preset PresetStore::saveCurrentAsNew(std::string_view name) {
    Preset preset = library_.add(newPresetName(name, library_.presets.size()), options_);
    persist();
    select(preset.id);
    return preset;
}

bool PresetStore::rename(const Uuid& id, std::string_view name) {
    if (!library_.rename(id, name)) return false;
    persist();
    return true;
}

void PresetStore::updateSelectedToCurrent() {
    library_.update(selectedID_, options_);
    persist();
}

bool PresetStore::remove(const Uuid& id) {
    if (!library_.remove(id)) return false;
    persist();
    if (id == selectedID_) select(PresetLibrary::defaultID);
    return true;
}

void PresetStore::persist() {
    if (settings_.access() == StoreAccess::readOnly) return;
    try {
        library_.save(file_);
    } catch (const std::exception& error) {
        log_(std::string("Dorvex: 保存预设失败 ") + error.what());
    }
}

}  // namespace dorvex
