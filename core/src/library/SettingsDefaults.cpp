#include "dorvex/library/SettingsDefaults.h"

#include "dorvex/library/LegacyMigration.h"

namespace dorvex::SettingsKeys {

void registerDefaults(SettingsStore& store) {
    LegacyMigration::migratePreferences(store, legacySettingsDomain, store.applicationDomain(),
                                        LegacyMigration::preferenceKeys);
    json::Json defaults = json::Json::object();
    defaults[std::string(showMenuBarIcon)] = true;
    defaults[std::string(keepRunningInMenuBar)] = true;
    defaults[std::string(perceptualScore)] = true;
    store.registerDefaults(defaults);
}

}  // namespace dorvex::SettingsKeys
