#include "platform/WorkFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "dorvex/platform/Uuid.h"
#include "platform/RandomName.h"

namespace dorvex {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t maxSpareFolders = 8;
constexpr std::string_view namePrefix = "dorvex-";
constexpr std::string_view spareName = "dorvex-spare-";
constexpr std::size_t uuidLength = 36;
constexpr mode_t privateMode = 0700;

std::error_code lastError() { return {errno, std::generic_category()}; }

// Whether `status` is a directory of ours that nobody else may enter.
bool isPrivateFolder(const struct stat& status) {
    return S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() && (status.st_mode & 07777) == privateMode;
}

// Whether `name` (relative to `at`, a link not followed) is still the private folder open as
// `folder`.
bool nameHolds(int at, const char* name, int folder) {
    struct stat held {};
    struct stat named {};
    return ::fstat(folder, &held) == 0 && ::fstatat(at, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           isPrivateFolder(named) && named.st_dev == held.st_dev && named.st_ino == held.st_ino;
}

struct DirectoryCloser {
    void operator()(DIR* stream) const { ::closedir(stream); }
};

// A listing of the folder open as `folder`, through a description of its own (so the folder's
// descriptor keeps its position); null when it cannot be listed.
std::unique_ptr<DIR, DirectoryCloser> listing(int folder) {
    const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    DIR* stream = ::fdopendir(fd);
    if (stream == nullptr) ::close(fd);
    return std::unique_ptr<DIR, DirectoryCloser>(stream);
}

bool isDotEntry(std::string_view name) { return name == "." || name == ".."; }

// Removes everything in the folder open as `folder`, through descriptors only: a link inside is
// removed, never followed. False when something stays.
bool emptyFolder(int folder) {
    const auto stream = listing(folder);
    if (!stream) return false;
    bool emptied = true;
    while (const dirent* entry = ::readdir(stream.get())) {
        if (isDotEntry(entry->d_name)) continue;
        if (entry->d_type != DT_DIR && ::unlinkat(folder, entry->d_name, 0) == 0) continue;
        if (entry->d_type != DT_DIR && errno != EISDIR) {
            emptied = false;
            continue;
        }
        const FileDescriptor inner(::openat(folder, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        emptied = inner && emptyFolder(inner.get()) && ::unlinkat(folder, entry->d_name, AT_REMOVEDIR) == 0 && emptied;
    }
    return emptied;
}

// Empties the folder open as `folder` and removes it from `name`, if the name still holds it.
void removeFolder(int at, const char* name, const FileDescriptor& folder) {
    if (emptyFolder(folder.get()) && nameHolds(at, name, folder.get())) ::unlinkat(at, name, AT_REMOVEDIR);
}

// Renames `from` to `to` unless something already has that name.
bool renameFresh(const fs::path& from, const fs::path& to) {
    return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

struct Spare {
    fs::path path;
    FileDescriptor folder;
};

// Emptied work folders waiting for the next job, each with its locked descriptor. Never
// destroyed, so that a job ending while the process exits finds it intact; the folders
// themselves are removed at exit, after which folders that come back are removed at once.
class SpareFolders {
public:
    static SpareFolders& shared() {
        static SpareFolders* const spares = [] {
            auto* made = new SpareFolders;
            std::atexit([] { shared().close(); });
            return made;
        }();
        return *spares;
    }

    // The spare folder in `parent` that came back last, taken out of the pool.
    std::optional<Spare> take(const fs::path& parent) {
        const std::lock_guard lock(mutex_);
        for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) {
            if (it->path.parent_path() == parent) {
                Spare spare = std::move(*it);
                folders_.erase(std::next(it).base());
                return spare;
            }
        }
        return std::nullopt;
    }

    // Keeps the emptied folder open as `folder` (renamed from `path` to a fresh name beside it),
    // or removes it.
    void give(const fs::path& path, FileDescriptor folder) {
        {
            const std::lock_guard lock(mutex_);
            if (!closed_ && folders_.size() < maxSpareFolders && nameHolds(AT_FDCWD, path.c_str(), folder.get())) {
                fs::path spare = path.parent_path() / (std::string(spareName) + randomName());
                if (renameFresh(path, spare)) {
                    // Whatever was renamed, if it is not this folder any more, is left alone.
                    if (nameHolds(AT_FDCWD, spare.c_str(), folder.get())) {
                        folders_.push_back(Spare{std::move(spare), std::move(folder)});
                    }
                    return;
                }
            }
        }
        removeFolder(AT_FDCWD, path.c_str(), folder);
    }

private:
    void close() {
        const std::lock_guard lock(mutex_);
        closed_ = true;
        for (const Spare& spare : folders_) removeFolder(AT_FDCWD, spare.path.c_str(), spare.folder);
        folders_.clear();
    }

    std::mutex mutex_;
    std::vector<Spare> folders_;
    bool closed_ = false;
};

// Whether `name` is one this code gives its folders: "dorvex-", anything, an upper-case UUID.
bool isWorkFolderName(std::string_view name) {
    if (!name.starts_with(namePrefix) || name.size() < namePrefix.size() + uuidLength) return false;
    const std::string_view tail = name.substr(name.size() - uuidLength);
    const std::optional<Uuid> id = Uuid::parse(tail);
    return id && id->text() == tail;
}

// Removes the folders in `parent` that dead runs of this user left: named as ours, private,
// ours, and locked by nobody (a live folder's owner holds its lock until it is gone).
void removeDeadRuns(const fs::path& parent) {
    const FileDescriptor at(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!at) return;
    std::vector<std::string> names;
    if (const auto stream = listing(at.get())) {
        while (const dirent* entry = ::readdir(stream.get())) {
            if (isWorkFolderName(entry->d_name)) names.emplace_back(entry->d_name);
        }
    }
    for (const std::string& name : names) {
        struct stat named {};
        if (::fstatat(at.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !isPrivateFolder(named)) continue;
        const FileDescriptor folder(::openat(at.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (folder && nameHolds(at.get(), name.c_str(), folder.get()) && ::flock(folder.get(), LOCK_EX | LOCK_NB) == 0) {
            removeFolder(at.get(), name.c_str(), folder);
        }
    }
}

// Removes dead runs' folders from `parent` the first time this process makes a folder there.
void removeDeadRunsOnce(const fs::path& parent) {
    static std::mutex* const mutex = new std::mutex;
    static std::set<fs::path>* const looked = new std::set<fs::path>;
    const std::lock_guard lock(*mutex);
    if (looked->insert(parent).second) removeDeadRuns(parent);
}

// Makes `path` exclusively and returns its descriptor, locked, once it is a private folder of
// ours. It is made without write permission, so that until it is locked no other process takes
// it for a dead run's folder (those are 0700), and opened without following a link.
FileDescriptor makeFolder(const fs::path& path, std::error_code& error) {
    if (::mkdir(path.c_str(), S_IRUSR | S_IXUSR) != 0) {
        error = lastError();
        return {};
    }
    FileDescriptor folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!folder || ::fstat(folder.get(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid()) {
        // What has the name now is not what was made: leave it alone.
        error = folder ? std::make_error_code(std::errc::file_exists) : lastError();
        return {};
    }
    if (::flock(folder.get(), LOCK_EX | LOCK_NB) != 0 || ::fchmod(folder.get(), privateMode) != 0) {
        error = lastError();
        return {};
    }
    if (!nameHolds(AT_FDCWD, path.c_str(), folder.get())) {
        error = std::make_error_code(std::errc::file_exists);
        return {};
    }
    return folder;
}

}  // namespace

WorkFolder::WorkFolder(std::string_view prefix)
    : path_(fs::temp_directory_path() / (std::string(prefix) + randomName())) {}

WorkFolder::~WorkFolder() {
    if (!folder_) return;
    if (emptyFolder(folder_.get())) {
        SpareFolders::shared().give(path_, std::move(folder_));
    } else {
        removeFolder(AT_FDCWD, path_.c_str(), folder_);
    }
}

void WorkFolder::create(std::error_code& error) {
    error.clear();
    if (folder_) return;
    const fs::path parent = path_.parent_path();
    while (std::optional<Spare> spare = SpareFolders::shared().take(parent)) {
        // A spare whose name no longer holds it (removed by a cleaner, replaced by anything) is
        // dropped: its descriptor closes, and nothing is done through its name.
        if (!nameHolds(AT_FDCWD, spare->path.c_str(), spare->folder.get()) || !renameFresh(spare->path, path_)) continue;
        if (!nameHolds(AT_FDCWD, path_.c_str(), spare->folder.get())) {
            error = std::make_error_code(std::errc::file_exists);  // replaced in between: not ours
            return;
        }
        folder_ = std::move(spare->folder);
        return;
    }
    fs::create_directories(parent, error);
    if (error) return;
    removeDeadRunsOnce(parent);
    folder_ = makeFolder(path_, error);
}

void WorkFolder::create() {
    std::error_code error;
    create(error);
    if (error) throw fs::filesystem_error("cannot create directories", path_, error);
}

bool WorkFolder::makePrivateFile(const fs::path& file) {
    const FileDescriptor fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR));
    return fd && ::fchmod(fd.get(), S_IRUSR | S_IWUSR) == 0;
}

}  // namespace dorvex
