#include "dorvex/model/SaveLocation.h"

#include <array>

#include "dorvex/model/FileUrl.h"
#include "dorvex/model/JsonCoding.h"

namespace dorvex {

void to_json(json::Json& j, const SaveLocation& location) {
    std::visit(
        [&](const auto& c) {
            using Case = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<Case, SaveLocation::SourceFolder>) {
                j = json::Json{{"sourceFolder", {{"suffix", c.suffix}}}};
            } else if constexpr (std::is_same_v<Case, SaveLocation::Folder>) {
                j = json::Json{{"folder",
                                {{"_0", FileUrl::fromPath(c.folder, FileUrl::Kind::directory)},
                                 {"suffix", c.suffix}}}};
            } else {
                j = json::Json{{"overwrite", json::Json::object()}};
            }
        },
        location.value);
}

SaveLocation decodeSaveLocation(const json::Json& j, const std::string& path) {
    json::requireObject(j, path);
    static constexpr std::array<const char*, 3> caseKeys{"sourceFolder", "folder", "overwrite"};
    const char* found = nullptr;
    int count = 0;
    for (const char* key : caseKeys) {
        if (j.contains(key)) {
            found = key;
            ++count;
        }
    }
    if (count != 1) {
        throw DecodingError(DecodingError::Kind::typeMismatch, path,
                            "Invalid number of keys found, expected one.");
    }
    const std::string innerPath = json::joinPath(path, found);
    const auto& inner = json::requireObject(j.at(found), innerPath);
    auto readSuffix = [&] {
        return json::readString(json::requireKey(inner, "suffix", innerPath),
                                json::joinPath(innerPath, "suffix"));
    };
    if (std::string_view(found) == "sourceFolder") return SaveLocation::sourceFolder(readSuffix());
    if (std::string_view(found) == "overwrite") return SaveLocation::overwrite();

    const std::string urlPath = json::joinPath(innerPath, "_0");
    std::string url = json::readString(json::requireKey(inner, "_0", innerPath), urlPath);
    auto folder = FileUrl::toPath(url);
    if (!folder && url.starts_with('/') && url.find('\0') == std::string::npos) {
        // A bare path, held to a URL's rules so that it reads back as written: no NUL, no
        // trailing slash.
        while (url.size() > 1 && url.back() == '/') url.pop_back();
        folder = std::filesystem::path(url);
    }
    if (!folder) {
        throw DecodingError(DecodingError::Kind::dataCorrupted, urlPath, "Invalid URL string.");
    }
    return SaveLocation::folder(*folder, readSuffix());
}

}  // namespace dorvex
