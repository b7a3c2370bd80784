#include "Inventory.h"

#include <algorithm>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "dorvex/engine/LibraryVersions.h"
#include "dorvex/text/Translation.h"

namespace dorvex::cli {

namespace {

// The format each external encoder writes.
OutputFormat formatOf(Toolchain::Tool tool) {
    switch (tool) {
        case Toolchain::Tool::cjpeg: return OutputFormat::jpeg;
        case Toolchain::Tool::pngquant: return OutputFormat::png;
        case Toolchain::Tool::cwebp: return OutputFormat::webp;
        case Toolchain::Tool::cjxl: return OutputFormat::jxl;
    }
    return OutputFormat::jpeg;
}

std::vector<std::string> displayNames(const std::vector<OutputFormat>& formats) {
    std::vector<std::string> names;
    for (const OutputFormat format : formats) names.emplace_back(format.displayName());
    return names;
}

std::vector<std::string> rawValues(const std::vector<OutputFormat>& formats) {
    std::vector<std::string> values;
    for (const OutputFormat format : formats) values.emplace_back(format.rawValue());
    return values;
}

// A tool as found: its path and version line (none when it cannot run), or why it is missing.
struct FoundTool {
    const Toolchain::ToolInfo& info;
    std::optional<std::string> path;
    std::optional<std::string> version;
};

std::vector<FoundTool> foundTools(const Toolchain& tools) {
    std::vector<FoundTool> found;
    for (const auto& info : Toolchain::tools) {
        const auto& path = tools.path(info.tool);
        // A tool that cannot be started, prints nothing or hangs past the probe's limit.
        found.push_back({info, path, path ? Toolchain::version(*path) : std::nullopt});
    }
    return found;
}

}  // namespace

std::string programVersion() { return DORVEX_VERSION; }

std::string inventoryText(const Toolchain& tools) {
    std::string text;
    for (const FoundTool& tool : foundTools(tools)) {
        if (!tool.path) {
            text += fmt::format("{:<14} {}\n", tool.info.name, Toolchain::missingError(tool.info.tool).what());
        } else {
            text += fmt::format("{:<14} {}  {}\n", tool.info.name, *tool.path, tool.version.value_or(i18n("无法运行")));
        }
    }
    for (const auto& library : LibraryVersions::all()) {
        text += fmt::format("{:<14} {}  {}", library.name, library.version,
                            fmt::join(displayNames(library.writes), ", "));
        if (!library.encoders.empty()) text += fmt::format("  ({})", fmt::join(library.encoders, ", "));
        text += "\n";
    }
    return text;
}

std::string inventoryJson(const Toolchain& tools) {
    nlohmann::ordered_json j;
    j["version"] = programVersion();
    j["tools"] = nlohmann::ordered_json::array();
    for (const FoundTool& tool : foundTools(tools)) {
        nlohmann::ordered_json entry;
        entry["name"] = tool.info.name;
        entry["formats"] = {formatOf(tool.info.tool).rawValue()};
        entry["path"] = tool.path ? nlohmann::ordered_json(*tool.path) : nullptr;
        if (tool.path) {
            entry["version"] = tool.version ? nlohmann::ordered_json(*tool.version) : nullptr;
        } else {
            entry["problem"] = Toolchain::missingError(tool.info.tool).what();
        }
        j["tools"].push_back(std::move(entry));
    }
    j["libraries"] = nlohmann::ordered_json::array();
    for (const auto& library : LibraryVersions::all()) {
        j["libraries"].push_back({{"name", library.name},
                                  {"version", library.version},
                                  {"formats", rawValues(library.writes)},
                                  {"encoders", library.encoders}});
    }
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace dorvex::cli
