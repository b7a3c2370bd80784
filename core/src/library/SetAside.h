#pragma once
// SetAside: private to the library. Moves an unusable stored document (settings, presets) out of
// the way before a fresh one is written, under a name that no file has yet: "<file>.bak", else
// "<file>.bak.1", "<file>.bak.2" … An earlier backup is never replaced, and nothing standing at a
// candidate name (a file, a folder, a link) is followed or touched.

#include <filesystem>
#include <optional>
#include <system_error>

namespace dorvex::SetAside {

// The name `file` now has; nullopt, with `error` set, when it could not be moved (it then stays
// where it is).
std::optional<std::filesystem::path> unusable(const std::filesystem::path& file, std::error_code& error);

}  // namespace dorvex::SetAside
