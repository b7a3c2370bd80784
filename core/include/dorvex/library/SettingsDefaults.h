#pragma once
// SettingsDefaults: what the application does with its settings before anything reads them —
// the earlier product's preferences carried over once, then the defaults of the Boolean settings
// registered (stored values win over them).

#include "dorvex/library/SettingsStore.h"

namespace dorvex::SettingsKeys {

// Migrates the legacy domain's preferences into the store's application domain, then registers
// "showMenuBarIcon", "keepRunningInMenuBar" and "perceptualScore", all true. Never throws.
void registerDefaults(SettingsStore& store);

}  // namespace dorvex::SettingsKeys
