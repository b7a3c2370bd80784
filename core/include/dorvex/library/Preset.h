#pragma once
// Preset and PresetLibrary: named, complete option sets in display order, with the rules for
// adding, renaming, updating and deleting them, the two starter presets, and the JSON file that
// keeps them between launches. Loading never fails: a missing file gives the starter presets, an
// unusable one is set aside as a backup first; saving replaces the file atomically.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dorvex/library/StoreAccess.h"
#include "dorvex/model/CompressionOptions.h"
#include "dorvex/model/JsonCoding.h"
#include "dorvex/platform/Uuid.h"
#include "dorvex/text/Translation.h"

namespace dorvex {

struct Preset {
    Uuid id;
    std::string name;  // shown on the preset's pill
    CompressionOptions options;
    bool isBuiltIn = false;  // a built-in preset can be neither renamed nor deleted

    bool operator==(const Preset&) const = default;

    // The name as the interface shows it: a starter preset's name, while it is the one it came
    // with, in the user's language; any other name as it is.
    std::string shownName() const;
};

// {"id": "<UUID>", "name": …, "options": {…}, "isBuiltIn": …}
void to_json(json::Json& j, const Preset& preset);
// All four keys are required. Throws DecodingError.
Preset decodePreset(const json::Json& j, const std::string& path = "");

struct PresetLibrary {
    std::vector<Preset> presets;  // in display order

    bool operator==(const PresetLibrary&) const = default;

    // "默认", built in, level 3, and "网页", level 4 with a 200 000-byte limit (renamable and
    // deletable, but with a fixed identifier); both keep the source's format and save beside it.
    static const Uuid defaultID;  // 00000000-0000-0000-0000-000000000001
    static const Uuid webID;      // 00000000-0000-0000-0000-000000000002
    static const PresetLibrary& initial();

    // The first preset with this identifier.
    std::optional<Preset> preset(const Uuid& id) const;
    // Appends a user preset with a fresh identifier and returns it. Names need not be unique.
    Preset add(std::string name, CompressionOptions options);
    // Replaces the options of the preset with this identifier (built-in ones too), if any.
    void update(const Uuid& id, const CompressionOptions& options);
    // Sets the name, trimmed of white space at both ends. False, changing nothing, for a blank
    // name, an unknown identifier or a built-in preset.
    bool rename(const Uuid& id, std::string_view name);
    // `name` without white space and line breaks (Unicode's, e.g. U+3000) at either end.
    static std::string trimmedName(std::string_view name);
    // Removes the preset, keeping the order of the rest. False for an unknown identifier or a
    // built-in preset.
    bool remove(const Uuid& id);

    // The library in `file`. No file: the starter presets. A file that cannot be read or decoded
    // gives the starter presets; with readWrite access it is first moved aside to a backup name
    // of its own ("<file>.bak", else "<file>.bak.1" …; an older backup is never replaced, and
    // the file stays in place when it cannot be moved). A library without the default preset
    // gets "默认" put in front. Never throws.
    static PresetLibrary load(const std::filesystem::path& file, StoreAccess access = StoreAccess::readWrite);
    // Writes the library, pretty-printed with sorted keys, creating missing folders and
    // replacing the file atomically. Throws AtomicFile::FileError.
    void save(const std::filesystem::path& file) const;
};

// {"presets": [...]}; "presets" is required. Throws DecodingError.
void to_json(json::Json& j, const PresetLibrary& library);
PresetLibrary decodePresetLibrary(const json::Json& j, const std::string& path = "");
// The text that save() writes.
std::string encodePresetFile(const PresetLibrary& library);

}  // namespace dorvex
