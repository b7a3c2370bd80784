#include "dorvex/platform/Trash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "dorvex/platform/AppPaths.h"
#include "platform/CopyBytes.h"

namespace dorvex::Trash {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& what, int code) {
    throw Error(what + ": " + std::error_code(code, std::generic_category()).message());
}

// ---- where the trash is --------------------------------------------------------------------

// A trash's two folders, open.
struct Folders {
    FileDescriptor files;
    FileDescriptor info;
};

// `name` in the folder `at`, made private where it is missing, opened: none unless it is a folder
// of ours (not a link).
FileDescriptor ownFolder(int at, const std::string& name) {
    if (::mkdirat(at, name.c_str(), 0700) == 0) {
        ::fsync(at);  // a new trash folder lasts as long as the entries made in it
    } else if (errno != EEXIST) {
        return {};
    }
    FileDescriptor folder(::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!folder || ::fstat(folder.get(), &status) != 0) return {};
    if (status.st_uid != ::geteuid()) {
        errno = EPERM;
        return {};
    }
    return folder;
}

std::optional<Folders> foldersIn(const FileDescriptor& trash) {
    if (!trash) return std::nullopt;
    Folders folders{ownFolder(trash.get(), "files"), ownFolder(trash.get(), "info")};
    if (!folders.files || !folders.info) return std::nullopt;
    return folders;
}

// The device of `path`, or of its nearest existing ancestor.
std::optional<dev_t> deviceOf(fs::path path) {
    for (;;) {
        struct stat status {};
        if (::stat(path.c_str(), &status) == 0) return status.st_dev;
        if (path == path.parent_path() || path.empty()) return std::nullopt;
        path = path.parent_path();
    }
}

// Makes `folder` and its missing parents, each private.
bool makePrivateFolders(const fs::path& folder) {
    if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) return true;
    if (errno != ENOENT || folder == folder.parent_path()) return false;
    return makePrivateFolders(folder.parent_path()) && (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST);
}

// The highest folder above `folder` (itself included) still on `device`: its volume's top.
fs::path topOf(fs::path folder, dev_t device) {
    while (folder != folder.parent_path()) {
        struct stat status {};
        if (::stat(folder.parent_path().c_str(), &status) != 0 || status.st_dev != device) break;
        folder = folder.parent_path();
    }
    return folder;
}

// "$top/.Trash/<uid>" when "$top/.Trash" is a real folder with the sticky bit, else
// "$top/.Trash-<uid>".
std::optional<Folders> volumeTrash(const fs::path& folder, dev_t device) {
    const FileDescriptor top(::open(topOf(folder, device).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!top) return std::nullopt;
    const std::string uid = std::to_string(::geteuid());
    const FileDescriptor shared(::openat(top.get(), ".Trash", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (shared && ::fstat(shared.get(), &status) == 0 && (status.st_mode & S_ISVTX) != 0) {
        if (auto folders = foldersIn(ownFolder(shared.get(), uid))) return folders;
    }
    return foldersIn(ownFolder(top.get(), ".Trash-" + uid));
}

Folders trashFor(const fs::path& item, dev_t device) {
    const fs::path home = AppPaths::dataHome() / "Trash";
    std::optional<Folders> folders;
    if (deviceOf(home) == device) {
        if (makePrivateFolders(home)) {
            folders = foldersIn(FileDescriptor(::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
        }
    } else {
        folders = volumeTrash(item.parent_path(), device);
    }
    if (!folders) fail("cannot find or make a trash folder for " + item.string(), errno);
    return std::move(*folders);
}

// ---- the entry -----------------------------------------------------------------------------

// The path as a URL path: every byte but unreserved characters and "/" escaped.
std::string escaped(std::string_view path) {
    constexpr std::string_view hex = "0123456789ABCDEF";
    std::string text;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
                           std::string_view("/-._~").find(c) != std::string_view::npos;
        if (plain) {
            text += c;
        } else {
            text += '%';
            text += hex[byte >> 4];
            text += hex[byte & 15];
        }
    }
    return text;
}

std::string record(const fs::path& item) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    std::array<char, 32> date{};
    std::strftime(date.data(), date.size(), "%Y-%m-%dT%H:%M:%S", &local);
    return "[Trash Info]\nPath=" + escaped(item.native()) + "\nDeletionDate=" + date.data() + "\n";
}

// The n-th name tried for an entry: "photo.jpg", "photo.2.jpg", "photo.3.jpg", …
std::string candidate(const fs::path& name, int number) {
    if (number == 1) return name.string();
    return name.stem().string() + "." + std::to_string(number) + name.extension().string();
}

enum class Placed { linked, copied, moved, taken, failed };

// Removes what was half placed as `name` in `files`; keeps errno for the caller.
Placed failedAfterAll(int files, const std::string& name) {
    const int code = errno;
    ::unlinkat(files, name.c_str(), 0);
    errno = code;
    return Placed::failed;
}

// A flushed copy of the regular file `item` as `name` in `files`, with its mode and times;
// `placed` is the file that was copied. errno tells why it failed.
Placed copied(const fs::path& item, int files, const std::string& name, struct stat& placed) {
    const FileDescriptor input(::open(item.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!input || ::fstat(input.get(), &placed) != 0) return Placed::failed;
    FileDescriptor output(::openat(files, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!output) return errno == EEXIST ? Placed::taken : Placed::failed;
    const std::array<timespec, 2> times{placed.st_atim, placed.st_mtim};
    if (copyBytes(input.get(), output.get()) == CopyResult::done && ::fchmod(output.get(), placed.st_mode & 07777) == 0 &&
        ::futimens(output.get(), times.data()) == 0 && ::fsync(output.get()) == 0 && output.close()) {
        return Placed::copied;
    }
    return failedAfterAll(files, name);
}

// Puts `item` into `files` as `name`: a second name where links are allowed, else a copy (a
// regular file) or the item itself (anything else). `placed` is what now stands in the trash.
Placed placed(const fs::path& item, const struct stat& status, int files, const std::string& name,
              struct stat& placedStatus) {
    if (::linkat(AT_FDCWD, item.c_str(), files, name.c_str(), 0) == 0) {
        return ::fstatat(files, name.c_str(), &placedStatus, AT_SYMLINK_NOFOLLOW) == 0 ? Placed::linked
                                                                                       : failedAfterAll(files, name);
    }
    if (errno == EEXIST) return Placed::taken;
    if (S_ISREG(status.st_mode)) return copied(item, files, name, placedStatus);
    if (::renameat2(AT_FDCWD, item.c_str(), files, name.c_str(), RENAME_NOREPLACE) == 0) return Placed::moved;
    return errno == EEXIST ? Placed::taken : Placed::failed;
}

fs::path absoluteNormal(const fs::path& path) {
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    return (error ? path : absolute).lexically_normal();
}

}  // namespace

Entry::~Entry() { undo(); }

Entry::Entry(Entry&& other) noexcept
    : files_(std::move(other.files_)),
      info_(std::move(other.info_)),
      name_(std::exchange(other.name_, {})),
      item_(std::move(other.item_)),
      device_(other.device_),
      inode_(other.inode_),
      moved_(other.moved_),
      kept_(std::exchange(other.kept_, true)) {}

Entry& Entry::operator=(Entry&& other) noexcept {
    if (this != &other) {
        undo();
        files_ = std::move(other.files_);
        info_ = std::move(other.info_);
        name_ = std::exchange(other.name_, {});
        item_ = std::move(other.item_);
        device_ = other.device_;
        inode_ = other.inode_;
        moved_ = other.moved_;
        kept_ = std::exchange(other.kept_, true);
    }
    return *this;
}

void Entry::keep() { kept_ = true; }

void Entry::complete() {
    if (!moved_) {
        struct stat status {};
        if (::lstat(item_.c_str(), &status) != 0) fail("cannot trash " + item_.string(), errno);
        if (status.st_dev != device_ || status.st_ino != inode_) {
            throw Error("cannot trash " + item_.string() + ": it was replaced meanwhile");
        }
        if (::unlink(item_.c_str()) != 0) fail("cannot trash " + item_.string(), errno);
    }
    keep();
}

void Entry::undo() noexcept {
    if (kept_ || name_.empty()) return;
    kept_ = true;
    // A folder that cannot go back (its name was taken meanwhile) stays in the trash, recorded.
    if (moved_ ? ::renameat2(files_.get(), name_.c_str(), AT_FDCWD, item_.c_str(), RENAME_NOREPLACE) != 0
               : ::unlinkat(files_.get(), name_.c_str(), 0) != 0 && errno != ENOENT) {
        return;
    }
    ::unlinkat(info_.get(), (name_ + ".trashinfo").c_str(), 0);
}

Entry place(const fs::path& path) {
    const fs::path item = absoluteNormal(path);
    struct stat status {};
    if (item.filename().empty() || ::lstat(item.c_str(), &status) != 0) {
        fail("cannot trash " + item.string(), item.filename().empty() ? EINVAL : errno);
    }
    Folders folders = trashFor(item, status.st_dev);
    const std::string text = record(item);
    for (int number = 1; number <= 1000; ++number) {
        const std::string name = candidate(item.filename(), number);
        const std::string infoName = name + ".trashinfo";
        // The record, made exclusively, reserves the name.
        FileDescriptor info(
            ::openat(folders.info.get(), infoName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!info) {
            if (errno == EEXIST) continue;
            fail("cannot trash " + item.string(), errno);
        }
        struct stat placedStatus {};
        Placed how = Placed::failed;
        if (writeAll(info.get(), text) && ::fsync(info.get()) == 0 && info.close()) {
            how = placed(item, status, folders.files.get(), name, placedStatus);
        }
        if (how == Placed::taken || how == Placed::failed) {
            const int code = errno;
            ::unlinkat(folders.info.get(), infoName.c_str(), 0);
            if (how == Placed::taken) continue;
            fail("cannot trash " + item.string(), code);
        }
        // On disk before the caller replaces or removes the item.
        ::fsync(folders.files.get());
        ::fsync(folders.info.get());
        Entry entry;
        entry.files_ = std::move(folders.files);
        entry.info_ = std::move(folders.info);
        entry.name_ = name;
        entry.item_ = item;
        entry.device_ = placedStatus.st_dev;
        entry.inode_ = placedStatus.st_ino;
        entry.moved_ = how == Placed::moved;
        entry.kept_ = false;
        return entry;
    }
    throw Error("cannot trash " + item.string() + ": too many items of that name in the trash");
}

void moveToTrash(const fs::path& path) { place(path).complete(); }

}  // namespace dorvex::Trash
