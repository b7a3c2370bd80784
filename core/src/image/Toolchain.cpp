#include "dorvex/image/Toolchain.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <system_error>

#include "platform/TextDecoding.h"
#include "image/encoders/ToolRunner.h"

extern char** environ;

namespace dorvex {

namespace {

std::optional<std::string> variable(const std::map<std::string, std::string>& environment,
                                    std::string_view name) {
    auto found = environment.find(std::string(name));
    if (found == environment.end()) return std::nullopt;
    return found->second;
}

std::string homeFolder(const std::map<std::string, std::string>& environment) {
    if (auto home = variable(environment, "HOME"); home && !home->empty()) return *home;
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry{};
    passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result &&
        result->pw_dir)
        return result->pw_dir;
    return {};
}

std::vector<std::string> packageManagerPrefixes(
    const std::map<std::string, std::string>& environment) {
    std::vector<std::string> prefixes;
    if (auto prefix = variable(environment, "HOMEBREW_PREFIX")) prefixes.push_back(*prefix);
    prefixes.emplace_back("/home/linuxbrew/.linuxbrew");
    prefixes.emplace_back("/opt/homebrew");
    prefixes.emplace_back("/usr/local");
    // Without a home folder there is no "~/.homebrew" to try.
    if (std::string home = homeFolder(environment); !home.empty())
        prefixes.push_back(home + "/.homebrew");
    return prefixes;
}

std::vector<std::string> pathFolders(const std::map<std::string, std::string>& environment) {
    std::vector<std::string> folders;
    std::string path = variable(environment, "PATH").value_or("");
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) folders.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return folders;
}

// The field of a tool, for reading (const Toolchain) or filling in (Toolchain).
template <typename ToolchainType>
auto& fieldOf(ToolchainType& toolchain, Toolchain::Tool tool) {
    switch (tool) {
        case Toolchain::Tool::cjpeg: return toolchain.cjpeg;
        case Toolchain::Tool::pngquant: return toolchain.pngquant;
        case Toolchain::Tool::cwebp: return toolchain.cwebp;
        case Toolchain::Tool::cjxl: return toolchain.cjxl;
    }
    return toolchain.cjxl;  // not reached: every case returns
}

bool isExecutableFile(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

constexpr bool tableFollowsFieldOrder() {
    for (std::size_t i = 0; i < Toolchain::tools.size(); ++i)
        if (static_cast<std::size_t>(Toolchain::tools[i].tool) != i) return false;
    return true;
}
static_assert(tableFollowsFieldOrder(), "info() indexes the table by the tool's number");

}  // namespace

std::vector<std::string> Toolchain::ignoredVariables(const std::map<std::string, std::string>& environment) {
    std::vector<std::string> notes;
    for (const ToolInfo& entry : tools) {
        for (std::string_view name : {entry.firstVariable, entry.secondVariable}) {
            const std::optional<std::string> value = variable(environment, name);
            if (!value || value->empty() || isExecutableFile(*value)) continue;
            std::error_code error;
            const bool exists = std::filesystem::exists(*value, error);
            notes.push_back(std::string(name) + "=" + *value + " is ignored: " +
                            (exists ? "not an executable file" : "no such file"));
        }
    }
    return notes;
}

const Toolchain::ToolInfo& Toolchain::info(Tool tool) {
    return tools[static_cast<std::size_t>(tool)];
}

ToolError Toolchain::missingError(Tool tool) {
    const ToolInfo& entry = info(tool);
    return ToolError::encoderMissing(std::string(entry.name), std::string(entry.hint));
}

std::vector<std::string> Toolchain::candidates(
    Tool tool, const std::map<std::string, std::string>& environment,
    const std::optional<std::filesystem::path>& bundledBinaries) {
    const ToolInfo& entry = info(tool);
    std::vector<std::string> list;
    if (auto first = variable(environment, entry.firstVariable)) list.push_back(*first);
    if (auto second = variable(environment, entry.secondVariable)) list.push_back(*second);
    if (bundledBinaries) list.push_back((*bundledBinaries / entry.fileName).string());
    for (const std::string& prefix : packageManagerPrefixes(environment))
        list.push_back(prefix + std::string(entry.prefixPath));
    for (const std::string& folder : pathFolders(environment))
        list.push_back(folder + "/" + std::string(entry.fileName));
    return list;
}

Toolchain Toolchain::locate(const std::map<std::string, std::string>& environment,
                            const std::optional<std::filesystem::path>& bundledBinaries) {
    Toolchain toolchain;
    for (const ToolInfo& entry : tools) {
        std::optional<std::string>& field = fieldOf(toolchain, entry.tool);
        for (std::string& candidate : candidates(entry.tool, environment, bundledBinaries)) {
            if (isExecutableFile(candidate)) {
                field = std::move(candidate);
                break;
            }
        }
    }
    return toolchain;
}

Toolchain Toolchain::locate() { return locate(processEnvironment(), bundledBinariesFolder()); }

std::optional<std::string> Toolchain::version(const std::string& toolPath, std::chrono::milliseconds timeLimit) {
    std::string fileName = std::filesystem::path(toolPath).filename().string();
    std::string argument = (fileName == "cjpeg" || fileName == "cwebp") ? "-version" : "--version";
    std::string output;
    try {
        output = ToolRunner::combinedOutput(toolPath, {argument}, timeLimit);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    std::string text = TextDecoding::decodeUTF8(output);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) return text.substr(start, end - start);
        start = end + 1;
    }
    return std::nullopt;
}

const std::optional<std::string>& Toolchain::path(Tool tool) const { return fieldOf(*this, tool); }

std::vector<std::string> Toolchain::missingEncoders() const {
    std::vector<std::string> names;
    for (const ToolInfo& entry : tools)
        if (!path(entry.tool)) names.emplace_back(entry.name);
    return names;
}

std::map<std::string, std::string> processEnvironment() {
    std::map<std::string, std::string> environment;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string_view text(*entry);
        std::size_t equals = text.find('=');
        if (equals == std::string_view::npos) continue;
        environment.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
    }
    return environment;
}

std::optional<std::filesystem::path> resourceFolder() {
    std::error_code error;
    std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || executable.empty()) return std::nullopt;
    std::filesystem::path folder = executable.parent_path().parent_path() / "lib" / "dorvex";
    if (!std::filesystem::is_directory(folder, error)) return std::nullopt;
    return folder;
}

std::optional<std::filesystem::path> bundledBinariesFolder() {
    if (auto folder = resourceFolder()) return *folder / "bin";
    return std::nullopt;
}

}  // namespace dorvex
