// Stored JSON read back from users' files: one job's options (as the settings keep them) and the
// presets file. Any text decodes or fails with a DecodingError; what decodes has a usable level
// and survives its own encoding unchanged.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzCheck.h"
#include "dorvex/library/Preset.h"
#include "dorvex/model/CompressionOptions.h"

using namespace dorvex;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    try {
        const CompressionOptions options = parseCompressionOptions(text);
        (void)options.quality();  // throws for an unusable level, which the decoder refuses
        fuzz::check(parseCompressionOptions(json::Json(options).dump()) == options,
                    "options survive their JSON form");
    } catch (const DecodingError&) {
    }

    // What PresetLibrary::load does with the file's text.
    json::Json document;
    try {
        document = json::Json::parse(text);
    } catch (const nlohmann::json::exception&) {
        return 0;
    }
    try {
        const PresetLibrary library = decodePresetLibrary(document);
        fuzz::check(decodePresetLibrary(json::Json::parse(encodePresetFile(library))) == library,
                    "a presets file reads back as written");
        for (const Preset& preset : library.presets) {
            const std::string trimmed = PresetLibrary::trimmedName(preset.name);
            fuzz::check(preset.name.find(trimmed) != std::string::npos, "a trimmed name is part of the name");
        }
    } catch (const DecodingError&) {
    }
    return 0;
}
