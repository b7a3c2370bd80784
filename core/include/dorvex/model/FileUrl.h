#pragma once
// File URLs as stored in JSON: "file://" + the percent-encoded absolute path. Reading them back
// gives the same path byte for byte, spaces and non-ASCII names included.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace dorvex::FileUrl {

enum class Kind { file, directory };

// "file:///a%20b/%CE%A9" for "/a b/Ω"; a directory URL ends with "/". `path` must be absolute.
std::string fromPath(const std::filesystem::path& path, Kind kind);

// The path of a "file:" URL (empty or "localhost" host), percent-decoded, without a trailing
// slash (except for "/"); nullopt for another scheme, a remote host or a bad escape.
std::optional<std::filesystem::path> toPath(std::string_view url);

}  // namespace dorvex::FileUrl
