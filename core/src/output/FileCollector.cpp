#include "dorvex/output/FileCollector.h"

#include <glib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <unordered_set>
#include <utility>

#include "dorvex/model/OutputFormat.h"
#include "dorvex/model/SourceFile.h"
#include "dorvex/output/OutputPlanner.h"
#include "dorvex/text/Translation.h"

namespace dorvex::FileCollector {

namespace fs = std::filesystem;

namespace {

// Linux file managers show no folder as a single file, so every folder is walked: there is no
// notion of a package here.

bool isHidden(const fs::path& entry) {
    const std::string name = entry.filename().string();
    return !name.empty() && name.front() == '.';
}

bool hasDotDot(const fs::path& path) {
    return std::any_of(path.begin(), path.end(), [](const fs::path& part) { return part == ".."; });
}

}  // namespace

fs::path standardised(const fs::path& path) {
    std::error_code error;
    fs::path absolute = fs::absolute(path, error);
    if (error) absolute = path;
    fs::path normal = absolute.lexically_normal();
    if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
    if (hasDotDot(absolute)) {
        std::error_code ignored;
        if (!fs::equivalent(absolute, normal, ignored)) return absolute;
    }
    return normal;
}

namespace {

// The sort key of a path: its NFC form as UTF-8, whose byte order is the code-point order. A path
// that is not valid UTF-8 has no NFC form and is compared by its raw bytes.
std::string sortKey(const fs::path& path) {
    const std::string& raw = path.native();
    std::unique_ptr<gchar, decltype(&g_free)> normal(
        g_utf8_normalize(raw.data(), gssize(raw.size()), G_NORMALIZE_NFC), &g_free);
    return normal ? std::string(normal.get()) : raw;
}

class Collector {
public:
    void addDropped(const fs::path& path) {
        struct stat info {};
        // stat follows links: a link to a file or folder counts as what it points to.
        if (::stat(path.c_str(), &info) != 0) {
            passOver(path);
        } else if (S_ISDIR(info.st_mode)) {
            addFolder(standardised(path));
        } else if (!S_ISREG(info.st_mode)) {
            // Pipes, sockets and devices: reading them could block a job forever.
            passOver(path);
        } else if (!isSupported(path)) {
            passOver(path);
        } else {
            append(standardised(path));
        }
    }

    Result take() { return std::move(result_); }

private:
    void passOver(const fs::path& path) {
        ++result_.ignored;
        result_.passedOver.push_back(path);
    }

    void cannotRead(const fs::path& folder, const std::error_code& error) {
        result_.unreadable.push_back(
            Unreadable{folder, i18nf("无法读取这个文件夹（{}）", SourceFile::problemText(error.value()))});
    }

    void append(fs::path file) {
        if (seen_.insert(file.native()).second) result_.files.push_back(std::move(file));
    }

    void addFolder(const fs::path& root) {
        std::vector<std::pair<std::string, fs::path>> found;  // sort key, path
        std::set<std::pair<dev_t, ino_t>> visited;  // guards against bind mounts that loop
        std::vector<fs::path> pending{root};
        while (!pending.empty()) {
            fs::path folder = std::move(pending.back());
            pending.pop_back();
            struct stat info {};
            if (::stat(folder.c_str(), &info) != 0) {
                // A folder that went while the walk was under way held nothing to compress.
                if (errno != ENOENT) cannotRead(folder, std::error_code(errno, std::generic_category()));
                continue;
            }
            if (!visited.emplace(info.st_dev, info.st_ino).second) continue;

            std::error_code error;
            fs::directory_iterator it(folder, error);
            for (; !error && it != fs::directory_iterator(); it.increment(error)) {
                const fs::path& entry = it->path();
                if (isHidden(entry)) continue;
                std::error_code statusError;
                // The entry itself, not what a link points to: links inside folders are not
                // followed, so a link to a parent folder cannot send the walk round in circles.
                const fs::file_status status = it->symlink_status(statusError);
                if (statusError) continue;
                if (fs::is_directory(status)) {
                    pending.push_back(entry);
                } else if (fs::is_regular_file(status)) {
                    if (!isSupported(entry)) {
                        passOver(entry);
                    } else if (!OutputPlanner::isOptimized(entry)) {
                        found.emplace_back(sortKey(entry), entry);
                    }
                }
            }
            if (error && error != std::errc::no_such_file_or_directory) cannotRead(folder, error);
        }
        std::stable_sort(found.begin(), found.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (auto& [key, file] : found) append(standardised(file));
    }

    Result result_;
    std::unordered_set<std::string> seen_;
};

}  // namespace

Result collect(const std::vector<fs::path>& paths) {
    Collector collector;
    for (const fs::path& path : paths) {
        try {
            collector.addDropped(path);
        } catch (const std::exception&) {
            // Out of memory or a library surprise with one path: the others are still collected.
        }
    }
    return collector.take();
}

bool isSupported(const fs::path& path) {
    const std::optional<FileType> type = FileType::fromPath(path.string());
    if (!type) return false;
    const auto types = supportedTypes();
    return std::any_of(types.begin(), types.end(), [&](const FileType& supported) { return type->conforms(supported); });
}

std::span<const FileType> supportedTypes() {
    static const std::vector<FileType> types = [] {
        std::vector<FileType> list;
        for (OutputFormat format : OutputFormat::allCases()) list.push_back(format.fileType());
        return list;
    }();
    return types;
}

}  // namespace dorvex::FileCollector
