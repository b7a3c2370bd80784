#pragma once
// StartingOptions: the options the command line starts from — those of the preset selected in
// the application (the one it would give new jobs), or of the preset named on the command line.
// The earlier product's presets and settings are carried over first, once, as the application
// does at its first start; a command that only reads carries them over in memory and writes
// nothing.

#include <optional>
#include <string>

#include "dorvex/library/StoreAccess.h"
#include "dorvex/model/CompressionOptions.h"

namespace dorvex::cli {

// `presetName` is a preset's name, or the name a starter preset is shown under in the user's
// language. Throws UsageError, listing the names as shown, when it names no preset.
CompressionOptions startingOptions(const std::optional<std::string>& presetName, StoreAccess access);

}  // namespace dorvex::cli
