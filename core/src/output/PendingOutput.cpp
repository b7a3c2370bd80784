#include "output/PendingOutput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "dorvex/output/OutputPlanner.h"
#include "output/Markers.h"
#include "output/UnflushedFilesystems.h"
#include "platform/CopyBytes.h"
#include "platform/ExclusiveRename.h"
#include "platform/RandomName.h"

namespace dorvex::OutputPlanner {

namespace fs = std::filesystem;

namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }

}  // namespace

PendingOutput::PendingOutput(const fs::path& produced, const fs::path& destination, std::string_view marker,
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

void PendingOutput::flush(const fs::path& destination) {
    if (flushed_) return;
    // Closed already when a placement found the name taken; the hidden name is still ours.
    const FileDescriptor reopened(output_ ? -1 : ::open(temporary_.path().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (::fsync(output_ ? output_.get() : reopened.get()) != 0) {
        throw FileError(FileError::Kind::write, destination, lastError());
    }
    flushed_ = true;
}

bool PendingOutput::publish(const fs::path& destination, bool durable, bool replacing) {
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

FileDescriptor PendingOutput::linked(const fs::path& produced, const fs::path& source, struct stat& status) {
    if (::lstat(produced.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1) return {};
    struct stat sourceStatus {};
    if (::stat(source.c_str(), &sourceStatus) == 0 && sourceStatus.st_dev == status.st_dev &&
        sourceStatus.st_ino == status.st_ino) {
        return {};  // never the user's own file
    }
    if (::chmod(produced.c_str(), S_IRUSR | S_IWUSR) != 0) return {};
    for (int tries = 0; tries < 8; ++tries) {
        const fs::path name = folderOrCurrent() / (".dorvex-" + randomName(13));
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

bool PendingOutput::placedNew(const fs::path& destination) {
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

FileDescriptor PendingOutput::copied(const FileDescriptor& input, const fs::path& produced, const fs::path& destination) {
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

}  // namespace dorvex::OutputPlanner
