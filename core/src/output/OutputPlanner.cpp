#include "dorvex/output/OutputPlanner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

#include "dorvex/platform/FileDescriptor.h"
#include "dorvex/platform/Uuid.h"
#include "output/DestinationLock.h"
#include "output/Markers.h"
#include "output/SameFile.h"
#include "output/UnflushedFilesystems.h"
#include "platform/CopyBytes.h"
#include "platform/ExclusiveRename.h"

namespace dorvex::OutputPlanner {

namespace fs = std::filesystem;

namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }

// ---- the copy ------------------------------------------------------------------------------

// A file name that is unlinked when its owner goes, unless it was handed over (released).
class TemporaryName {
public:
    TemporaryName() = default;
    ~TemporaryName() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TemporaryName(const TemporaryName&) = delete;
    TemporaryName& operator=(const TemporaryName&) = delete;

    void own(fs::path path) { path_ = std::move(path); }
    const fs::path& path() const { return path_; }
    void release() { path_.clear(); }

private:
    fs::path path_;
};

// A complete and marked copy of the produced file under a hidden temporary name in the
// destination's folder, waiting to be renamed into place. Removed unless published, also when
// the copy fails half-way (the name is owned by a member, which is destroyed when the
// constructor throws). On the produced file's own filesystem the "copy" is a second name of the
// same file (a hard link): no bytes copied and no new file made, which for small outputs was the
// larger part of writing them.
class PendingOutput {
public:
    PendingOutput(const fs::path& produced, const fs::path& destination, std::string_view marker,
                  const fs::path& source)
        : folder_(destination.parent_path()) {
        struct stat status {};  // the produced file as it was handed over
        output_ = linked(produced, source, status);
        if (!output_) {
            FileDescriptor input(::open(produced.c_str(), O_RDONLY | O_CLOEXEC));
            if (!input || ::fstat(input.get(), &status) != 0) {
                throw FileError(FileError::Kind::read, produced, lastError());
            }
            output_ = copied(input, produced, destination);
        }
        // Marked while it is still ours and writable: setting an attribute needs write access
        // to the file, which a read-only source's mode would take away.
        writeMarkers(
            [&](std::string_view attribute, std::string_view value) {
                ::fsetxattr(output_.get(), std::string(attribute).c_str(), value.data(), value.size(), 0);
            },
            marker, source);
        // The output may be read by whoever may read the source, and by nobody else: a private
        // photo stays private. Without a readable source, the produced file's permissions.
        struct stat sourceStatus {};
        const bool sourceKnown = ::stat(source.c_str(), &sourceStatus) == 0;
        ::fchmod(output_.get(), (sourceKnown ? sourceStatus.st_mode : status.st_mode) & 0777);
        if (sourceKnown) {
            // Only root may give a file away; anyone may keep their own group. Failures keep ours.
            if (::fchown(output_.get(), sourceStatus.st_uid, sourceStatus.st_gid) != 0) {
                [[maybe_unused]] const int ignored = ::fchown(output_.get(), uid_t(-1), sourceStatus.st_gid);
            }
        }
    }
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    const fs::path& folder() const { return folder_; }

    // Puts the copy's bytes on disk; called before anything of the user's is touched.
    void flush(const fs::path& destination) {
        if (flushed_) return;
        // Closed already when a placement found the name taken; the hidden name is still ours.
        const FileDescriptor reopened(output_ ? -1 : ::open(temporary_.path().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (::fsync(output_ ? output_.get() : reopened.get()) != 0) {
            throw FileError(FileError::Kind::write, destination, lastError());
        }
        flushed_ = true;
    }

    // Renames the copy to `destination`: replacing what stands there in one step when
    // `replacing`, else only where nothing does (false when the name is taken). When `durable`,
    // the copy is flushed before the rename and the folder after it, so after a crash the output
    // is whole or absent and the rename has happened or not. Otherwise its filesystem is left to
    // be flushed with the others (flushOutputs).
    bool publish(const fs::path& destination, bool durable, bool replacing) {
        if (durable) flush(destination);
        if (output_ && !output_.close()) throw FileError(FileError::Kind::write, destination, lastError());
        if (replacing ? ::rename(temporary_.path().c_str(), destination.c_str()) != 0
                      : !placedNew(destination)) {
            if (!replacing && errno == EEXIST) return false;
            throw FileError(FileError::Kind::write, destination, lastError());
        }
        temporary_.release();
        if (!durable) {
            unflushed().add(folderOrCurrent());
            return true;
        }
        FileDescriptor folder(::open(folderOrCurrent().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (folder) ::fsync(folder.get());
        return true;
    }

private:
    fs::path folderOrCurrent() const { return folder_.empty() ? fs::path(".") : folder_; }

    // A hidden second name of `produced` in the destination's folder, open for reading (enough to
    // change its mode, owner and markers and to flush it); none where the filesystems differ or
    // links are refused, and the caller copies. The produced file is made private first, so the
    // new name never shows a private photo's output to others before its mode is set; `status` is
    // the produced file as it was before.
    FileDescriptor linked(const fs::path& produced, const fs::path& source, struct stat& status) {
        if (::lstat(produced.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1) return {};
        struct stat sourceStatus {};
        if (::stat(source.c_str(), &sourceStatus) == 0 && sourceStatus.st_dev == status.st_dev &&
            sourceStatus.st_ino == status.st_ino) {
            return {};  // never the user's own file
        }
        if (::chmod(produced.c_str(), S_IRUSR | S_IWUSR) != 0) return {};
        for (int tries = 0; tries < 8; ++tries) {
            const fs::path name = folderOrCurrent() / (".dorvex-" + Uuid::random().text().substr(0, 13));
            if (::link(produced.c_str(), name.c_str()) != 0) {
                if (errno == EEXIST) continue;
                return {};
            }
            temporary_.own(name);
            FileDescriptor output(::open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            struct stat linkedStatus {};
            if (output && ::fstat(output.get(), &linkedStatus) == 0 && linkedStatus.st_ino == status.st_ino &&
                linkedStatus.st_dev == status.st_dev) {
                return output;
            }
            ::unlink(name.c_str());
            temporary_.release();
            return {};
        }
        return {};
    }

    // Gives the copy the name `destination` unless that is taken (errno EEXIST then); where the
    // filesystem has neither an exclusive rename nor second names, the name is looked at just
    // before a rename.
    bool placedNew(const fs::path& destination) {
        const fs::path& hidden = temporary_.path();
        if (renameExclusively(hidden, destination)) return true;
        if (errno == EEXIST) return false;
        struct stat standing {};
        if (::lstat(destination.c_str(), &standing) == 0) {
            errno = EEXIST;
            return false;
        }
        return ::rename(hidden.c_str(), destination.c_str()) == 0;
    }

    // A new hidden file in the destination's folder with the bytes of `input`.
    FileDescriptor copied(const FileDescriptor& input, const fs::path& produced, const fs::path& destination) {
        std::string name = folderOrCurrent() / ".dorvex-XXXXXX";
        FileDescriptor output(::mkostemp(name.data(), O_CLOEXEC));
        if (!output) throw FileError(FileError::Kind::write, destination, lastError());
        temporary_.own(name);
        switch (copyBytes(input.get(), output.get())) {
            case CopyResult::done: break;
            case CopyResult::readFailed: throw FileError(FileError::Kind::read, produced, lastError());
            case CopyResult::writeFailed: throw FileError(FileError::Kind::write, destination, lastError());
        }
        return output;
    }

    fs::path folder_;
    TemporaryName temporary_;
    FileDescriptor output_;
    bool flushed_ = false;
};

void createFolder(const fs::path& folder) {
    if (folder.empty()) return;
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) throw FileError(FileError::Kind::createFolder, folder, error);
}

std::string_view suffixOf(const SaveLocation& location) {
    if (const auto* beside = std::get_if<SaveLocation::SourceFolder>(&location.value)) return beside->suffix;
    if (const auto* folder = std::get_if<SaveLocation::Folder>(&location.value)) return folder->suffix;
    return {};
}

bool hasInvalidCharacters(std::string_view text) {
    return text.find('/') != std::string_view::npos || text.find('\0') != std::string_view::npos;
}

}  // namespace

// ---- errors --------------------------------------------------------------------------------

WriteError WriteError::wouldOverwriteSource(const fs::path& plannedDestination) {
    WriteError error(Kind::wouldOverwriteSource,
                     i18nf("输出会覆盖原图 {}，请设置前缀、后缀或换目录", plannedDestination.filename().string()));
    error.destination = plannedDestination;
    return error;
}

WriteError WriteError::sourceChanged(const fs::path& changedSource) {
    WriteError error(Kind::sourceChanged, i18nf("原图在压缩期间被修改或替换，未作改动：{}", changedSource.filename().string()));
    error.destination = changedSource;
    return error;
}

std::optional<SourceIdentity> SourceIdentity::of(const fs::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    return SourceIdentity{std::uint64_t(status.st_dev), std::uint64_t(status.st_ino), std::int64_t(status.st_size),
                          std::int64_t(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec};
}

NamingError NamingError::invalidCharacters() {
    return NamingError(Kind::invalidCharacters, i18n("文件名前缀和后缀不能包含 / 或空字符"));
}

namespace {

std::string fileErrorText(FileError::Kind kind, const fs::path& path) {
    switch (kind) {
        case FileError::Kind::createFolder: return "cannot create folder " + path.string();
        case FileError::Kind::read: return "cannot read " + path.string();
        case FileError::Kind::write: return "cannot write " + path.string();
        case FileError::Kind::remove: return "cannot remove " + path.string();
    }
    return path.string();
}

}  // namespace

FileError::FileError(Kind errorKind, const fs::path& failedPath, std::error_code code)
    : std::system_error(code, fileErrorText(errorKind, failedPath)), kind(errorKind), path(failedPath) {}

// ---- naming --------------------------------------------------------------------------------

void validateNaming(std::string_view prefix, const SaveLocation& location) {
    if (location.isOverwrite()) return;
    if (hasInvalidCharacters(prefix) || hasInvalidCharacters(suffixOf(location))) {
        throw NamingError::invalidCharacters();
    }
}

fs::path destination(const fs::path& source, OutputFormat format, const SaveLocation& location,
                     std::string_view prefix) {
    const std::string base = source.stem().string();
    const std::string extension(format.fileExtension());
    if (location.isOverwrite()) {
        const auto sourceType = FileType::fromPath(source.string());
        if (sourceType && sourceType->conforms(FileType::data) && sourceType->conforms(format.fileType())) {
            return source;
        }
        return source.parent_path() / (base + "." + extension);
    }
    const fs::path folder = std::holds_alternative<SaveLocation::Folder>(location.value)
                                ? std::get<SaveLocation::Folder>(location.value).folder
                                : source.parent_path();
    return folder / (std::string(prefix) + base + std::string(suffixOf(location)) + "." + extension);
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
