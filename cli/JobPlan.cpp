#include "JobPlan.h"

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <unordered_map>

#include <fmt/format.h>

#include "dorvex/model/SourceFile.h"
#include "dorvex/output/FileCollector.h"
#include "dorvex/output/OutputPlanner.h"
#include "dorvex/text/Translation.h"

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

// The kept folders below the output folder that lead out of it: the first symbolic link met on the
// way down to each (the output folder itself may be a link: the user named it). Outputs are never
// written through such a link, which could aim anywhere. Each folder is looked at once.
class LinksBelow {
public:
    explicit LinksBelow(fs::path root) : root_(std::move(root)) {}

    std::optional<fs::path> firstLink(const fs::path& kept) {
        if (kept.empty()) return std::nullopt;
        const auto known = found_.find(kept.native());
        if (known != found_.end()) return known->second;
        std::optional<fs::path> link = firstLink(kept.parent_path());
        if (!link) {
            struct stat info {};
            const fs::path folder = root_ / kept;
            if (::lstat(folder.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) link = folder;
        }
        found_.emplace(kept.native(), link);
        return link;
    }

private:
    fs::path root_;
    std::unordered_map<std::string, std::optional<fs::path>> found_;
};

// The paths as the user named them, looked up by the form the collector lists files in. A file
// keeps its place relative to the first given path that is that file or a folder holding it:
// under a folder, its folder relative to that one; given directly by a relative path without
// "..", its own folder; otherwise none. Lists of a million names stay fast: files given directly
// are found by a lookup, and only the folders given are scanned.
class GivenPaths {
public:
    explicit GivenPaths(const std::vector<fs::path>& given) {
        for (std::size_t i = 0; i < given.size(); ++i) {
            const fs::path root = FileCollector::standardised(given[i]);
            if (isFolder(given[i])) {
                folders_.emplace_back(i, root);
            } else {
                files_.emplace(root.native(), std::pair{i, given[i]});
            }
        }
    }

    fs::path keptFolder(const fs::path& file) const {
        const auto direct = files_.find(file.native());
        for (const auto& [index, root] : folders_) {
            if (direct != files_.end() && direct->second.first < index) break;
            const auto [rootEnd, fileAt] = std::mismatch(root.begin(), root.end(), file.begin(), file.end());
            if (rootEnd == root.end() && fileAt != file.end()) return file.lexically_relative(root).parent_path();
        }
        if (direct == files_.end()) return {};
        const fs::path& named = direct->second.second;
        const fs::path relative = named.lexically_normal().parent_path();
        const bool inside = named.is_relative() &&
                            std::none_of(relative.begin(), relative.end(), [](const fs::path& p) { return p == ".."; });
        return inside ? relative : fs::path();
    }

private:
    std::unordered_map<std::string, std::pair<std::size_t, fs::path>> files_;  // the first naming of each
    std::vector<std::pair<std::size_t, fs::path>> folders_;                     // in the order given
};

}  // namespace

OutputFormat plannedFormat(const fs::path& source, const CompressionOptions& options) {
    const std::optional<FileType> named = FileType::fromPath(source.string());
    const OutputFormat kind = OutputFormat::original(named);
    if (kind.isVideo() || kind.isPDF()) return kind;
    if (options.format) return *options.format;
    // What the engine reads the picture as; a file it cannot read fails, wherever it was aimed.
    const std::optional<FileType> content = SourceFile::imageType(source);
    return OutputFormat::original(content ? content : named);
}

std::vector<PlannedJob> plan(const std::vector<fs::path>& files, const std::vector<fs::path>& given,
                             const CompressionOptions& options, bool keepStructure) {
    std::map<std::string, fs::path> sources;  // identity → source
    for (const fs::path& file : files) sources.emplace(identity(file), file);

    const GivenPaths roots(given);
    const auto* outputFolder = std::get_if<SaveLocation::Folder>(&options.saveLocation.value);
    LinksBelow links(outputFolder ? outputFolder->folder : fs::path());
    std::vector<PlannedJob> jobs;
    std::map<std::string, fs::path> taken;  // destination's identity → the source that takes it
    for (const fs::path& file : files) {
        PlannedJob job{file, options, {}, std::nullopt};
        auto* folder = std::get_if<SaveLocation::Folder>(&job.options.saveLocation.value);
        std::optional<fs::path> link;
        if (folder && keepStructure) {
            const fs::path kept = roots.keptFolder(file).lexically_normal();
            link = links.firstLink(kept);
            folder->folder = (folder->folder / kept).lexically_normal();
        }
        job.destination = OutputPlanner::destination(file, plannedFormat(file, job.options),
                                                     job.options.saveLocation, job.options.filenamePrefix);
        const std::string key = identity(job.destination);
        const auto source = sources.find(key);
        if (link) {
            job.clash = i18nf("输出文件夹中的 {} 是符号链接，不会经由它写入，未压缩", link->string());
        } else if (source != sources.end() && source->second != file) {
            job.clash = i18nf("输出 {} 是本次要压缩的另一个文件，未压缩", job.destination.string());
        } else if (const auto earlier = taken.find(key); earlier != taken.end()) {
            job.clash =
                folder && !keepStructure
                    ? i18nf("输出与 {} 的输出同为 {}，未压缩（--keep-structure 可保留子目录）",
                            earlier->second.string(), job.destination.string())
                    : i18nf("输出与 {} 的输出同为 {}，未压缩", earlier->second.string(), job.destination.string());
        } else {
            taken.emplace(key, file);
        }
        jobs.push_back(std::move(job));
    }
    return jobs;
}

}  // namespace dorvex::cli
