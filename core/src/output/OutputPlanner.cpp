#include "dorvex/output/OutputPlanner.h"

#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <utility>

#include "output/DestinationLock.h"
#include "output/Markers.h"
#include "output/PendingOutput.h"
#include "output/SameFile.h"

namespace dorvex::OutputPlanner {

namespace fs = std::filesystem;

namespace {

void createFolder(const fs::path& folder) {
    if (folder.empty()) return;
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) throw FileError(FileError::Kind::createFolder, folder, error);
}

}  // namespace

std::optional<SourceIdentity> SourceIdentity::of(const fs::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    return SourceIdentity{std::uint64_t(status.st_dev), std::uint64_t(status.st_ino), std::int64_t(status.st_size),
                          std::int64_t(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec};
}

// ---- writing -------------------------------------------------------------------------------

namespace {

void reached(Testing::Step step) {
    if (Testing::afterStep) Testing::afterStep(step);
}

}  // namespace

namespace Testing {
std::function<void(Step)> afterStep;
}  // namespace Testing

WriteOutcome write(const fs::path& produced, const fs::path& plannedDestination, const fs::path& source,
                   const SaveLocation& location, const TrashOperation& trash,
                   const std::optional<SourceIdentity>& sourceAsRead) {
    const bool overwriting = location.isOverwrite();
    DestinationLock lock(plannedDestination);
    std::optional<DestinationLock> fallbackLock;

    fs::path working = plannedDestination;
    std::vector<std::string> warnings;
    const bool same = isSameFile(plannedDestination, source);
    if (!overwriting && same) throw WriteError::wouldOverwriteSource(plannedDestination);

    createFolder(working.parent_path());
    const std::string_view marker = overwriting ? overwriteMarker : normalMarker;
    auto pending = std::make_unique<PendingOutput>(produced, working, marker, source);
    reached(Testing::Step::copied);
    if (overwriting) pending->flush(working);

    // The last moment before anything is changed: the source must still be what was compressed.
    if (overwriting && sourceAsRead && SourceIdentity::of(source) != sourceAsRead) {
        throw WriteError::sourceChanged(source);
    }

    // What the output takes the place of, in the trash but still standing until the rename.
    Trash::Entry replaced;
    bool replacing = false;
    if (overwriting && same) {
        try {
            replaced = trash(source);
            replacing = true;
            reached(Testing::Step::trashed);
        } catch (const std::exception& error) {
            warnings.push_back(i18nf("原图移入回收站失败，结果另存为新文件：{}", error.what()));
            const std::string extension = source.extension().string();  // with its dot, or empty
            working = source.parent_path() / (source.stem().string() + "-min" + extension);
            if (lockKey(working) != lock.key()) fallbackLock.emplace(working);
            if (absoluteNormal(working.parent_path()) != absoluteNormal(pending->folder())) {
                pending = std::make_unique<PendingOutput>(produced, working, marker, source);
                pending->flush(working);
            }
        }
    }

    // The output is flushed, and the folder after the rename, when it stands for something the
    // user had: the source it replaces, or a file that stood at its name. A new file beside a kept
    // source waits for flushOutputs: a crash before that may cut it short, never lose the source.
    bool durable = overwriting;
    for (int attempt = 1;; ++attempt) {
        std::error_code error;
        const auto standing = fs::symlink_status(working, error);
        if (!replacing && !error && fs::exists(standing)) {
            replacing = durable = true;
            pending->flush(working);
            if (isReplaceableOutput(working, source)) {
                // A regular file is replaced by the rename in one step; anything else is cleared first.
                if (fs::is_directory(standing) && fs::remove_all(working, error) == static_cast<std::uintmax_t>(-1)) {
                    throw FileError(FileError::Kind::remove, working, error);
                }
            } else {
                replaced = trash(working);
                warnings.push_back(i18nf("已将原有的同名文件 {} 移入回收站", working.filename().string()));
                reached(Testing::Step::trashed);
            }
        }
        reached(Testing::Step::placing);
        if (pending->publish(working, durable, replacing)) break;
        // The name was taken since it was looked at: what stands there now is decided on as above
        // (unless files keep coming and going there).
        if (attempt == 8) throw FileError(FileError::Kind::write, working, std::make_error_code(std::errc::file_exists));
    }
    replaced.keep();
    reached(Testing::Step::placed);

    if (overwriting && !same) {
        try {
            trash(source).complete();
            reached(Testing::Step::sourceTrashed);
        } catch (const std::exception& trashError) {
            warnings.push_back(i18nf("原图移入回收站失败，已保留：{}", trashError.what()));
        }
    }
    return WriteOutcome{working, std::move(warnings)};
}

// ---- rules and markers ---------------------------------------------------------------------

Handoff placing(const fs::path& source, const SaveLocation& location, const std::string& prefix,
                const std::optional<SourceIdentity>& sourceAsRead) {
    return [source, location, prefix, sourceAsRead](const fs::path& produced, CompressionResult& result) {
        const OutputFormat format = result.format.value_or(OutputFormat::original(FileType::fromPath(source)));
        WriteOutcome written =
            write(produced, destination(source, format, location, prefix), source, location, Trash::place, sourceAsRead);
        result.output = std::move(written.url);
        result.warnings.insert(result.warnings.end(), written.warnings.begin(), written.warnings.end());
    };
}

bool isNoSavings(std::int64_t sourceBytes, std::int64_t outputBytes, bool sameFormat,
                 std::optional<std::int64_t> maxBytes) {
    return sameFormat && sourceBytes >= 1 && outputBytes >= sourceBytes &&
           (!maxBytes || *maxBytes >= sourceBytes);
}

}  // namespace dorvex::OutputPlanner
