#pragma once
// Toolchain: where the four external encoders (mozjpeg's cjpeg, pngquant, cwebp, cjxl) are on
// this machine, found once at start-up by a fixed search order; an absent path means "found
// nowhere". An immutable value, safe to read from any thread. Also reads a tool's version line.

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dorvex/image/ToolError.h"

namespace dorvex {

struct Toolchain {
    enum class Tool : std::uint8_t { cjpeg, pngquant, cwebp, cjxl };

    // Everything the search and the messages know about one tool.
    struct ToolInfo {
        Tool tool;
        std::string_view fileName;        // in the binaries folder and in each PATH folder
        std::string_view firstVariable;   // an explicit path, tried first
        std::string_view secondVariable;  // the earlier product's variable, tried next
        std::string_view prefixPath;      // appended to each package-manager prefix
        std::string_view name;            // the tool as the user sees it
        std::string_view hint;            // how to get it
    };

    // The four tools in field order: the one table that locating, the missing-encoder list and
    // encoder selection read. For cjpeg only mozjpeg's keg path is tried under a prefix, never
    // "<prefix>/bin/cjpeg", which is the plain libjpeg one.
    static constexpr std::array<ToolInfo, 4> tools{{
        {Tool::cjpeg, "cjpeg", "DORVEX_CJPEG", "TAVELIN_CJPEG", "/opt/mozjpeg/bin/cjpeg",
         "mozjpeg cjpeg", "run scripts/setup, or set DORVEX_CJPEG"},
        {Tool::pngquant, "pngquant", "DORVEX_PNGQUANT", "TAVELIN_PNGQUANT", "/bin/pngquant",
         "pngquant", "apt install pngquant, or set DORVEX_PNGQUANT"},
        {Tool::cwebp, "cwebp", "DORVEX_CWEBP", "TAVELIN_CWEBP", "/bin/cwebp", "cwebp",
         "apt install webp, or set DORVEX_CWEBP"},
        {Tool::cjxl, "cjxl", "DORVEX_CJXL", "TAVELIN_CJXL", "/bin/cjxl", "cjxl",
         "apt install libjxl-tools, or set DORVEX_CJXL"},
    }};

    std::optional<std::string> cjpeg;
    std::optional<std::string> pngquant;
    std::optional<std::string> cwebp;
    std::optional<std::string> cjxl;

    bool operator==(const Toolchain&) const = default;

    static const ToolInfo& info(Tool tool);
    // ToolError::encoderMissing with the tool's name and hint, e.g. "mozjpeg cjpeg not found
    // (run scripts/setup, or set DORVEX_CJPEG)".
    static ToolError missingError(Tool tool);

    // Finds each tool: the first candidate (see candidates()) that is a regular file the current
    // user may execute. Never fails; a variable set to an empty or wrong path is passed over.
    static Toolchain locate(const std::map<std::string, std::string>& environment,
                            const std::optional<std::filesystem::path>& bundledBinaries);
    // locate() with this process's environment and the application's bundled binaries folder.
    static Toolchain locate();

    // What locate() passed over among the variables that name a tool explicitly, so that a user
    // who set one learns why another encoder is used: "DORVEX_CJXL=/opt/x/cjxl is ignored: no
    // such file", "… is ignored: not an executable file". Variables set to nothing are not named.
    static std::vector<std::string> ignoredVariables(const std::map<std::string, std::string>& environment);

    // Where a tool is looked for, in order: the first variable, the second variable (each when
    // set), the bundled binaries folder / file name, each package-manager prefix + the prefix
    // path, each non-empty PATH folder + "/" + file name. The prefixes: HOMEBREW_PREFIX (when
    // set), Linuxbrew's "/home/linuxbrew/.linuxbrew", "/opt/homebrew", "/usr/local", the home
    // folder + "/.homebrew". The home folder is HOME when set and not empty, otherwise the user
    // database's entry. Candidates are kept exactly as built: not normalised, not de-duplicated,
    // not resolved through links.
    static std::vector<std::string> candidates(
        Tool tool, const std::map<std::string, std::string>& environment,
        const std::optional<std::filesystem::path>& bundledBinaries);

    // The tool's first non-empty output line, untrimmed, or nothing when it cannot be started,
    // prints no such line or has not ended within `timeLimit` (it is then killed): all three
    // show as a tool that cannot run. The one argument is "-version" when the path's file name is
    // "cjpeg" or "cwebp", "--version" for any other name. Standard output and standard error are
    // read together; the exit status is not looked at.
    static std::optional<std::string> version(const std::string& toolPath,
                                              std::chrono::milliseconds timeLimit = std::chrono::seconds(5));

    const std::optional<std::string>& path(Tool tool) const;

    // The names of the tools not found, in field order (cjpeg, pngquant, cwebp, cjxl).
    std::vector<std::string> missingEncoders() const;
};

// This process's environment as a map; when a name occurs twice the first one counts, as getenv.
std::map<std::string, std::string> processEnvironment();

// The application's resource folder, "<prefix>/lib/dorvex", where the running program lives in
// "<prefix>/bin" (the build tree has the same layout); absent when that folder does not exist.
std::optional<std::filesystem::path> resourceFolder();

// The folder of bundled encoders: the resource folder's "bin"; absent without a resource folder.
std::optional<std::filesystem::path> bundledBinariesFolder();

}  // namespace dorvex
