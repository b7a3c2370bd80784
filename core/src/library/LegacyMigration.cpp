#include "dorvex/library/LegacyMigration.h"

#include <system_error>

#include "platform/AtomicFile.h"

namespace dorvex::LegacyMigration {

namespace fs = std::filesystem;
using json::Json;

void copyPresetsIfNeeded(const fs::path& oldFile, const fs::path& newFile) {
    std::error_code error;
    if (fs::exists(newFile, error)) return;
    if (!fs::exists(oldFile, error)) return;
    // Read whole and written atomically: an interrupted copy must not leave a truncated file that
    // would count as this application's own and be set aside as unusable on the next start.
    AtomicFile::write(newFile, AtomicFile::read(oldFile), AtomicFile::Existing::keep);
}

void migratePreferences(SettingsStore& store, std::string_view oldDomain, std::string_view newDomain,
                        std::span<const std::string_view> keys) {
    try {
        const Json old = store.persistentDomain(oldDomain).value_or(Json::object());
        const std::string flag(SettingsKeys::didMigrateTavelinPreferences);
        store.modifyPersistentDomain(newDomain, [&](Json& own) {
            if (auto it = own.find(flag); it != own.end() && it->is_boolean() && it->get<bool>()) return;
            for (std::string_view key : keys) {
                const std::string name(key);
                if (own.contains(name)) continue;
                if (auto value = old.find(name); value != old.end()) own[name] = *value;
            }
            own[flag] = true;
        });
    } catch (const std::exception&) {
        // The flag was not written, so the next start tries again.
    }
}

}  // namespace dorvex::LegacyMigration
