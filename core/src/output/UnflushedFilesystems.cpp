#include "output/UnflushedFilesystems.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "dorvex/output/OutputPlanner.h"
#include "dorvex/platform/FileDescriptor.h"

namespace dorvex::OutputPlanner {

namespace fs = std::filesystem;

void UnflushedFilesystems::add(const fs::path& folder) {
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0) return;
    const std::lock_guard lock(mutex_);
    folders_.insert_or_assign(status.st_dev, folder);
}

std::vector<fs::path> UnflushedFilesystems::take() {
    const std::lock_guard lock(mutex_);
    std::vector<fs::path> taken;
    for (auto& [device, folder] : folders_) taken.push_back(std::move(folder));
    folders_.clear();
    return taken;
}

UnflushedFilesystems& unflushed() {
    static auto* const filesystems = new UnflushedFilesystems;
    return *filesystems;
}

std::vector<std::string> flushOutputs() {
    std::vector<std::string> failures;
    for (const fs::path& folder : unflushed().take()) {
        FileDescriptor descriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!descriptor) {
            ::sync();  // the folder is gone or renamed: its filesystem is flushed with all others
        } else if (::syncfs(descriptor.get()) != 0) {
            failures.emplace_back(
                FileError(FileError::Kind::write, folder, {errno, std::generic_category()}).what());
        }
    }
    return failures;
}

}  // namespace dorvex::OutputPlanner
