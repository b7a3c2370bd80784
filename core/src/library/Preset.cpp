#include "dorvex/library/Preset.h"

#include <algorithm>
#include <cstdint>
#include <system_error>

#include <fmt/format.h>

#include "platform/AtomicFile.h"
#include "library/SetAside.h"

namespace dorvex {

namespace fs = std::filesystem;

namespace {

Uuid fixedID(std::uint8_t last) {
    Uuid id;
    id.bytes.back() = last;
    return id;
}

// White space and line breaks: the separators (Zs, Zl, Zp), the control characters from tab to
// carriage return, and NEL.
bool isWhitespace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// The code point that starts at `at` and its length in bytes; length 0 for a malformed sequence.
std::pair<char32_t, std::size_t> decodeAt(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || at + length > text.size()) return {0, 0};
    char32_t c = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xC0) != 0x80) return {0, 0};
        c = (c << 6) | (next & 0x3F);
    }
    return {c, length};
}

bool isContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Keys in sorted order at every level of the document.
json::Json withSortedKeys(const json::Json& value) {
    if (value.is_array()) {
        json::Json array = json::Json::array();
        for (const auto& element : value) array.push_back(withSortedKeys(element));
        return array;
    }
    if (!value.is_object()) return value;
    std::vector<std::string> keys;
    for (const auto& item : value.items()) keys.push_back(item.key());
    std::sort(keys.begin(), keys.end());
    json::Json object = json::Json::object();
    for (const auto& key : keys) object[key] = withSortedKeys(value.at(key));
    return object;
}

Preset starter(const Uuid& id, std::string name, bool builtIn, double level, std::optional<std::int64_t> maxBytes) {
    CompressionOptions options;
    options.level = level;
    options.format = std::nullopt;
    options.maxBytes = maxBytes;
    options.keepDimensions = false;
    options.saveLocation = SaveLocation::sourceFolder(std::string(SaveLocation::defaultSuffix));
    options.jxlLossless = false;
    options.tiffCompression = TIFFCompression::lzw;
    options.videoCodec = VideoCodec::hevc;
    options.videoMaxBytes = std::nullopt;
    options.filenamePrefix = "";
    return Preset{id, std::move(name), options, builtIn};
}

}  // namespace

// ---- JSON form ----------------------------------------------------------------------------

void to_json(json::Json& j, const Preset& preset) {
    j = json::Json::object();
    j["id"] = preset.id.text();
    j["name"] = preset.name;
    j["options"] = preset.options;
    j["isBuiltIn"] = preset.isBuiltIn;
}

Preset decodePreset(const json::Json& j, const std::string& path) {
    using namespace json;
    requireObject(j, path);
    const std::string idPath = joinPath(path, "id");
    const std::string idText = readString(requireKey(j, "id", path), idPath);
    const std::optional<Uuid> id = Uuid::parse(idText);
    if (!id) {
        throw DecodingError(DecodingError::Kind::dataCorrupted, idPath,
                            "Attempted to decode UUID from invalid UUID string.");
    }
    Preset preset;
    preset.id = *id;
    preset.name = readString(requireKey(j, "name", path), joinPath(path, "name"));
    preset.options = decodeCompressionOptions(requireKey(j, "options", path), joinPath(path, "options"));
    preset.isBuiltIn = readBool(requireKey(j, "isBuiltIn", path), joinPath(path, "isBuiltIn"));
    return preset;
}

void to_json(json::Json& j, const PresetLibrary& library) {
    json::Json presets = json::Json::array();
    for (const Preset& preset : library.presets) presets.push_back(preset);
    j = json::Json::object();
    j["presets"] = std::move(presets);
}

PresetLibrary decodePresetLibrary(const json::Json& j, const std::string& path) {
    using namespace json;
    requireObject(j, path);
    const std::string presetsPath = joinPath(path, "presets");
    const Json& presets = requireKey(j, "presets", path);
    if (!presets.is_array()) {
        throw DecodingError(DecodingError::Kind::typeMismatch, presetsPath,
                            fmt::format("Expected to decode an array but found {} instead.", presets.type_name()));
    }
    PresetLibrary library;
    for (std::size_t i = 0; i < presets.size(); ++i) {
        library.presets.push_back(decodePreset(presets[i], joinPath(presetsPath, std::to_string(i))));
    }
    return library;
}

std::string encodePresetFile(const PresetLibrary& library) {
    // Names come from the user; should one hold bytes that are not UTF-8, they are written as
    // U+FFFD rather than failing the save.
    return withSortedKeys(json::Json(library)).dump(2, ' ', false, json::Json::error_handler_t::replace) + "\n";
}

// ---- the library --------------------------------------------------------------------------

const Uuid PresetLibrary::defaultID = fixedID(1);
const Uuid PresetLibrary::webID = fixedID(2);

const PresetLibrary& PresetLibrary::initial() {
    static const PresetLibrary library{{
        starter(defaultID, i18nMark("默认"), true, 3.0, std::nullopt),
        starter(webID, i18nMark("网页"), false, 4.0, 200000),
    }};
    return library;
}

std::string Preset::shownName() const {
    for (const Preset& first : PresetLibrary::initial().presets) {
        if (first.id == id && first.name == name) return i18n(first.name.c_str());
    }
    return name;
}

std::optional<Preset> PresetLibrary::preset(const Uuid& id) const {
    auto it = std::find_if(presets.begin(), presets.end(), [&](const Preset& p) { return p.id == id; });
    if (it == presets.end()) return std::nullopt;
    return *it;
}

Preset PresetLibrary::add(std::string name, CompressionOptions options) {
    presets.push_back(Preset{Uuid::random(), std::move(name), std::move(options), false});
    return presets.back();
}

void PresetLibrary::update(const Uuid& id, const CompressionOptions& options) {
    auto it = std::find_if(presets.begin(), presets.end(), [&](const Preset& p) { return p.id == id; });
    if (it != presets.end()) it->options = options;
}

std::string PresetLibrary::trimmedName(std::string_view name) {
    std::size_t begin = 0;
    while (begin < name.size()) {
        auto [c, length] = decodeAt(name, begin);
        if (length == 0 || !isWhitespace(c)) break;
        begin += length;
    }
    std::size_t end = name.size();
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && isContinuation(name[start])) --start;
        auto [c, length] = decodeAt(name, start);
        if (length != end - start || !isWhitespace(c)) break;
        end = start;
    }
    return std::string(name.substr(begin, end - begin));
}

bool PresetLibrary::rename(const Uuid& id, std::string_view name) {
    std::string trimmed = trimmedName(name);
    if (trimmed.empty()) return false;
    auto it = std::find_if(presets.begin(), presets.end(), [&](const Preset& p) { return p.id == id; });
    if (it == presets.end() || it->isBuiltIn) return false;
    it->name = std::move(trimmed);
    return true;
}

bool PresetLibrary::remove(const Uuid& id) {
    auto it = std::find_if(presets.begin(), presets.end(), [&](const Preset& p) { return p.id == id; });
    if (it == presets.end() || it->isBuiltIn) return false;
    presets.erase(it);
    return true;
}

PresetLibrary PresetLibrary::load(const fs::path& file, StoreAccess access) {
    std::error_code error;
    if (!fs::exists(file, error)) return initial();
    try {
        PresetLibrary library = decodePresetLibrary(json::Json::parse(AtomicFile::read(file)));
        if (!library.preset(defaultID)) library.presets.insert(library.presets.begin(), initial().presets.front());
        return library;
    } catch (const std::exception&) {
        // Unusable: keep it aside so that the user's presets are not lost to the next save.
        if (access == StoreAccess::readWrite) {
            std::error_code ignored;
            SetAside::unusable(file, ignored);
        }
        return initial();
    }
}

void PresetLibrary::save(const fs::path& file) const { AtomicFile::write(file, encodePresetFile(*this)); }

}  // namespace dorvex
