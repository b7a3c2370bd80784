#include "library/SetAside.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace dorvex::SetAside {

namespace {

// Renames `from` to `to` unless something stands at `to`: in one step where the file system
// can, else as a hard link (made only where nothing stands) and the removal of the old name.
int renameExclusively(const char* from, const char* to) {
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    if (::link(from, to) != 0) return errno;
    return ::unlink(from) == 0 ? 0 : errno;
}

}  // namespace

std::optional<std::filesystem::path> unusable(const std::filesystem::path& file, std::error_code& error) {
    // Enough for every backup a user keeps; past it, something is making names on purpose.
    constexpr int attempts = 1000;
    for (int n = 0; n < attempts; ++n) {
        std::filesystem::path backup = file;
        backup += n == 0 ? std::string(".bak") : ".bak." + std::to_string(n);
        const int failure = renameExclusively(file.c_str(), backup.c_str());
        if (failure == 0) {
            error.clear();
            return backup;
        }
        if (failure != EEXIST) {
            error.assign(failure, std::generic_category());
            return std::nullopt;
        }
    }
    error = std::make_error_code(std::errc::file_exists);
    return std::nullopt;
}

}  // namespace dorvex::SetAside
