#include "dorvex/platform/AppPaths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <vector>

namespace dorvex::AppPaths {

namespace fs = std::filesystem;

namespace {

// The variable's value when it is set to an absolute path; relative values are to be ignored.
std::optional<fs::path> absoluteVariable(const char* name) {
    const char* value = std::getenv(name);
    if (!value || value[0] != '/') return std::nullopt;
    return fs::path(value);
}

}  // namespace

fs::path homeFolder() {
    if (const char* home = std::getenv("HOME"); home && home[0] != '\0') return home;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(std::size_t(size > 0 ? size : 16384));
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir) {
        return found->pw_dir;
    }
    return "/";
}

fs::path dataHome() { return absoluteVariable("XDG_DATA_HOME").value_or(homeFolder() / ".local" / "share"); }

fs::path configHome() { return absoluteVariable("XDG_CONFIG_HOME").value_or(homeFolder() / ".config"); }

fs::path presetsFile() { return dataHome() / "Dorvex" / "presets.json"; }

fs::path legacyPresetsFile() { return dataHome() / "Tavelin" / "presets.json"; }

fs::path settingsFolder() { return configHome(); }

}  // namespace dorvex::AppPaths
