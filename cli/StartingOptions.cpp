#include "StartingOptions.h"

#include <fmt/format.h>

#include "dorvex/platform/AppPaths.h"
#include "CommandLine.h"
#include "dorvex/library/LegacyMigration.h"
#include "dorvex/library/Preset.h"
#include "dorvex/library/SettingsStore.h"

namespace dorvex::cli {

CompressionOptions startingOptions(const std::optional<std::string>& presetName) {
    try {
        LegacyMigration::copyPresetsIfNeeded(AppPaths::legacyPresetsFile(), AppPaths::presetsFile());
    } catch (const std::exception&) {
        // The earlier product's presets stay where they are; ours (or the starter presets) serve.
    }
    const PresetLibrary library = PresetLibrary::load(AppPaths::presetsFile());

    if (presetName) {
        const std::string wanted = PresetLibrary::trimmedName(*presetName);
        std::vector<std::string> names;
        for (const auto& preset : library.presets) {
            if (preset.name == wanted) return preset.options;
            names.push_back("\"" + preset.name + "\"");
        }
        throw UsageError(fmt::format("no preset named \"{}\" (the presets are {})", *presetName, fmt::join(names, ", ")));
    }

    SettingsStore settings(AppPaths::settingsFolder());
    LegacyMigration::migratePreferences(settings, legacySettingsDomain,
                                        applicationSettingsDomain, LegacyMigration::preferenceKeys);
    if (const auto text = settings.stringValue(SettingsKeys::selectedPresetID)) {
        if (const auto id = Uuid::parse(*text)) {
            if (auto preset = library.preset(*id)) return preset->options;
        }
    }
    return library.presets.empty() ? CompressionOptions{} : library.presets.front().options;
}

}  // namespace dorvex::cli
