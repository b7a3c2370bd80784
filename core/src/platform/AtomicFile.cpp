#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <fmt/format.h>

#include "dorvex/platform/FileDescriptor.h"
#include "platform/CopyBytes.h"
#include "platform/RandomName.h"
#include "platform/TemporaryName.h"

namespace dorvex::AtomicFile {

namespace fs = std::filesystem;

namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }

std::string describe(FileError::Kind kind, const fs::path& path, const std::error_code& code) {
    const char* step = kind == FileError::Kind::createFolder ? "create folder"
                       : kind == FileError::Kind::read       ? "read"
                                                             : "write";
    return fmt::format("cannot {} {}: {}", step, path.string(), code.message());
}

// A hidden temporary file beside the target, removed again unless it was put in place.
class TemporaryFile {
public:
    explicit TemporaryFile(const fs::path& target) {
        for (int tries = 0; tries < 100; ++tries) {
            const std::string suffix = randomName(6);
            const fs::path path = target.parent_path() / ("." + target.filename().string() + "." + suffix);
            // The mode is filtered by the umask, as for any new file of the user's.
            fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd_ >= 0) name_.own(path);
            if (fd_ >= 0 || errno != EEXIST) break;
        }
        if (fd_ < 0) throw FileError(FileError::Kind::write, target, lastError());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (fd_ >= 0) ::close(fd_);
    }

    int fd() const { return fd_; }
    const fs::path& path() const { return name_.path(); }
    // Closes now and reports whether the close succeeded (a late write error shows up here).
    bool closeDescriptor() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }
    void placed() { name_.release(); }

private:
    TemporaryName name_;
    int fd_ = -1;
};

// Makes a rename or link inside `folder` durable; best effort, as some file systems refuse it.
void syncFolder(const fs::path& folder) {
    FileDescriptor fd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) ::fsync(fd.get());
}

}  // namespace

FileError::FileError(Kind errorKind, const fs::path& filePath, std::error_code code)
    : std::system_error(code, describe(errorKind, filePath, code)), kind(errorKind), path(filePath) {}

std::string read(const fs::path& file, std::size_t maxBytes) {
    // Non-blocking, so that opening a FIFO put where a document belongs does not wait for a writer.
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) throw FileError(FileError::Kind::read, file, lastError());
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) throw FileError(FileError::Kind::read, file, lastError());
    // Reading a folder, a pipe or a device would fail late or never end.
    if (!S_ISREG(info.st_mode)) {
        throw FileError(FileError::Kind::read, file,
                        std::make_error_code(S_ISDIR(info.st_mode) ? std::errc::is_a_directory
                                                                   : std::errc::invalid_argument));
    }
    const auto tooLarge = [&] {
        return FileError(FileError::Kind::read, file, std::make_error_code(std::errc::file_too_large));
    };
    if (std::uintmax_t(info.st_size) > maxBytes) throw tooLarge();
    std::string data;
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw FileError(FileError::Kind::read, file, lastError());
        }
        if (got == 0) break;
        if (data.size() + std::size_t(got) > maxBytes) throw tooLarge();  // it grew meanwhile
        data.append(buffer, std::size_t(got));
    }
    return data;
}

bool write(const fs::path& file, std::string_view data, Existing existing) {
    const fs::path folder = file.parent_path();
    if (!folder.empty()) {
        std::error_code error;
        fs::create_directories(folder, error);
        if (error) throw FileError(FileError::Kind::createFolder, folder, error);
    }
    if (existing == Existing::keep) {
        std::error_code error;
        if (fs::exists(fs::symlink_status(file, error))) return false;
    }

    TemporaryFile temporary(file);
    if (!writeAll(temporary.fd(), data)) throw FileError(FileError::Kind::write, file, lastError());
    if (existing == Existing::replace) {
        // A replaced file keeps its permission bits (a user who made it private keeps it private).
        struct stat info {};
        if (::stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            ::fchmod(temporary.fd(), info.st_mode & 07777);
        }
    }
    if (::fsync(temporary.fd()) != 0) throw FileError(FileError::Kind::write, file, lastError());
    if (!temporary.closeDescriptor()) throw FileError(FileError::Kind::write, file, lastError());

    if (existing == Existing::keep) {
        // A hard link puts the file in place only if nothing stands there, atomically.
        if (::link(temporary.path().c_str(), file.c_str()) == 0) {
            syncFolder(folder);
            return true;
        }
        if (errno == EEXIST) return false;
        // File systems without hard links: check, then rename (a small window, but no worse).
        std::error_code error;
        if (fs::exists(fs::symlink_status(file, error))) return false;
    }
    if (::rename(temporary.path().c_str(), file.c_str()) != 0) {
        throw FileError(FileError::Kind::write, file, lastError());
    }
    temporary.placed();
    syncFolder(folder);
    return true;
}

}  // namespace dorvex::AtomicFile
