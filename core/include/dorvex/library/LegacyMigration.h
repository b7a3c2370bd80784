#pragma once
// LegacyMigration: carries over, once, what the earlier product (Tavelin) left behind: its presets
// file and some of its settings. This application's own data always wins; nothing of the earlier
// product is changed or removed.

#include <array>
#include <filesystem>
#include <span>
#include <string_view>

#include "dorvex/library/SettingsStore.h"

namespace dorvex::LegacyMigration {

// The settings carried over by the application, in this order.
inline constexpr std::array<std::string_view, 4> preferenceKeys{
    SettingsKeys::showMenuBarIcon, SettingsKeys::keepRunningInMenuBar, SettingsKeys::selectedPresetID,
    SettingsKeys::lastOutputFolder};

// Copies `oldFile` to `newFile` when there is no file at `newFile` yet and `oldFile` exists,
// creating `newFile`'s folders. The copy appears complete or not at all, and never replaces a file
// that appeared at `newFile` meanwhile. Throws AtomicFile::FileError.
void copyPresetsIfNeeded(const std::filesystem::path& oldFile, const std::filesystem::path& newFile);

// Unless `newDomain` already holds `didMigrateTavelinPreferences` = true: copies each of `keys`
// that `newDomain` lacks from `oldDomain` (when it has it), sets the flag and writes `newDomain`,
// in one step. The flag is set even when there was nothing to copy, so this runs once. Never
// throws: should the write fail, it is simply tried again next time.
void migratePreferences(SettingsStore& store, std::string_view oldDomain, std::string_view newDomain,
                        std::span<const std::string_view> keys);

}  // namespace dorvex::LegacyMigration
