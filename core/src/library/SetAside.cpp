#include "library/SetAside.h"

#include <cerrno>
#include <string>

#include "platform/ExclusiveRename.h"

namespace dorvex::SetAside {

std::optional<std::filesystem::path> unusable(const std::filesystem::path& file, std::error_code& error) {
    // Enough for every backup a user keeps; past it, something is making names on purpose.
    constexpr int attempts = 1000;
    for (int n = 0; n < attempts; ++n) {
        std::filesystem::path backup = file;
        backup += n == 0 ? std::string(".bak") : ".bak." + std::to_string(n);
        if (renameExclusively(file, backup)) {
            error.clear();
            return backup;
        }
        if (errno != EEXIST) {
            error.assign(errno, std::generic_category());
            return std::nullopt;
        }
    }
    error = std::make_error_code(std::errc::file_exists);
    return std::nullopt;
}

}  // namespace dorvex::SetAside
