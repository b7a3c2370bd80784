#include "StartingOptions.h"

#include <fmt/format.h>

#include "dorvex/platform/AppPaths.h"
#include "CommandLine.h"
#include "dorvex/library/LegacyMigration.h"
#include "dorvex/library/PresetStore.h"
#include "dorvex/library/SettingsStore.h"
#include "dorvex/text/Translation.h"

namespace dorvex::cli {

CompressionOptions startingOptions(const std::optional<std::string>& presetName, StoreAccess access) {
    SettingsStore settings(AppPaths::settingsFolder(), std::string(applicationSettingsDomain), access);
    LegacyMigration::migratePreferences(settings, legacySettingsDomain, applicationSettingsDomain,
                                        LegacyMigration::preferenceKeys);
    // The application's store, read only: it logs only when saving, which this never does, or
    // when the earlier product's presets cannot be copied, which the application will log itself.
    const PresetStore store(AppPaths::presetsFile(), settings, [](const std::string&) {});
    if (!presetName) return store.options();
    if (const auto preset = store.presetNamed(*presetName)) return preset->options;
    // A starter preset also answers to the name it is shown under in the user's language.
    const std::string wanted = PresetLibrary::trimmedName(*presetName);
    for (const auto& preset : store.library().presets) {
        if (preset.shownName() == wanted) return preset.options;
    }

    std::vector<std::string> names;
    for (const auto& preset : store.library().presets) names.push_back("\"" + preset.shownName() + "\"");
    throw UsageError(i18nf("no preset named \"{}\" (the presets are {})", *presetName, fmt::join(names, ", ")));
}

}  // namespace dorvex::cli
