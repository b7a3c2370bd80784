#include "JobPlan.h"

#include <sys/stat.h>

#include <algorithm>
#include <map>

#include <fmt/format.h>

#include "dorvex/output/FileCollector.h"
#include "dorvex/output/OutputPlanner.h"

namespace dorvex::cli {

namespace fs = std::filesystem;

namespace {

// The same file for two spellings of a path: folders resolved through their links where they
// exist, so that "out/a.jpg" and "link-to-out/a.jpg" meet.
std::string identity(const fs::path& path) {
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(path, error);
    return (error ? path : resolved).native();
}

bool isFolder(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

OutputFormat plannedFormat(const fs::path& source, const CompressionOptions& options) {
    const OutputFormat kind = OutputFormat::original(FileType::fromPath(source.string()));
    if (kind.isVideo() || kind.isPDF()) return kind;
    return options.format.value_or(kind);
}

fs::path keptFolder(const fs::path& file, const std::vector<fs::path>& given) {
    for (const fs::path& path : given) {
        const fs::path root = FileCollector::standardised(path);
        if (root == file) {
            const fs::path relative = path.lexically_normal().parent_path();
            const bool inside = path.is_relative() && !relative.empty() &&
                                std::none_of(relative.begin(), relative.end(), [](const fs::path& p) { return p == ".."; });
            return inside ? relative : fs::path();
        }
        const auto [rootEnd, fileAt] = std::mismatch(root.begin(), root.end(), file.begin(), file.end());
        if (rootEnd == root.end() && fileAt != file.end() && isFolder(path)) {
            return file.lexically_relative(root).parent_path();
        }
    }
    return {};
}

std::vector<PlannedJob> plan(const std::vector<fs::path>& files, const std::vector<fs::path>& given,
                             const CompressionOptions& options, bool keepStructure) {
    std::map<std::string, fs::path> sources;  // identity → source
    for (const fs::path& file : files) sources.emplace(identity(file), file);

    std::vector<PlannedJob> jobs;
    std::map<std::string, fs::path> taken;  // destination's identity → the source that takes it
    for (const fs::path& file : files) {
        PlannedJob job{file, options, {}, std::nullopt};
        auto* folder = std::get_if<SaveLocation::Folder>(&job.options.saveLocation.value);
        if (folder && keepStructure) folder->folder = (folder->folder / keptFolder(file, given)).lexically_normal();
        job.destination = OutputPlanner::destination(file, plannedFormat(file, job.options),
                                                     job.options.saveLocation, job.options.filenamePrefix);
        const std::string key = identity(job.destination);
        const auto source = sources.find(key);
        if (const auto earlier = taken.find(key); earlier != taken.end()) {
            job.clash = fmt::format("输出与 {} 的输出同为 {}，未压缩{}", earlier->second.string(),
                                    job.destination.string(), folder && !keepStructure ? "（--keep-structure 可保留子目录）" : "");
        } else if (source != sources.end() && source->second != file) {
            job.clash = fmt::format("输出 {} 是本次要压缩的另一个文件，未压缩", job.destination.string());
        } else {
            taken.emplace(key, file);
        }
        jobs.push_back(std::move(job));
    }
    return jobs;
}

}  // namespace dorvex::cli
