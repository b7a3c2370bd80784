#pragma once
// SaveLocation: where a job's output goes — beside the source with a suffix, into a chosen folder
// with a suffix, or in place of the source. This header fixes the cases and their JSON form; the
// output planner gives them their meaning.

#include <nlohmann/json_fwd.hpp>

#include <filesystem>
#include <string>
#include <string_view>
#include <variant>

namespace dorvex {

struct SaveLocation {
    struct SourceFolder {
        std::string suffix;
        bool operator==(const SourceFolder&) const = default;
    };
    struct Folder {
        std::filesystem::path folder;
        std::string suffix;
        bool operator==(const Folder&) const = default;
    };
    struct Overwrite {
        bool operator==(const Overwrite&) const = default;
    };

    static constexpr std::string_view defaultSuffix = "-min";

    static SaveLocation sourceFolder(std::string suffix = std::string(defaultSuffix)) {
        return {SourceFolder{std::move(suffix)}};
    }
    static SaveLocation folder(std::filesystem::path folder, std::string suffix = std::string(defaultSuffix)) {
        return {Folder{std::move(folder), std::move(suffix)}};
    }
    static SaveLocation overwrite() { return {Overwrite{}}; }

    bool isOverwrite() const { return std::holds_alternative<Overwrite>(value); }

    std::variant<SourceFolder, Folder, Overwrite> value;

    bool operator==(const SaveLocation&) const = default;
};

// {"sourceFolder":{"suffix":…}}, {"folder":{"_0":"file:///…/","suffix":…}}, {"overwrite":{}}.
void to_json(nlohmann::ordered_json& j, const SaveLocation& location);
// Exactly one case key must be present ("Invalid number of keys found, expected one." otherwise);
// every inner key is required. Throws DecodingError.
SaveLocation decodeSaveLocation(const nlohmann::ordered_json& j, const std::string& path = "");

}  // namespace dorvex
