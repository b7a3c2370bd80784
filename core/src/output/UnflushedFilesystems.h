#pragma once
// The filesystems that outputs were renamed onto without a flush of their own, one folder on each
// (by device), until flushOutputs takes them.

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <vector>

namespace dorvex::OutputPlanner {

class UnflushedFilesystems {
public:
    void add(const std::filesystem::path& folder);
    std::vector<std::filesystem::path> take();

private:
    std::mutex mutex_;
    std::map<dev_t, std::filesystem::path> folders_;
};

// The process's registry. Never destroyed: a job or a flush on a worker past the engine's
// shutdown bound may still use it while the process exits.
UnflushedFilesystems& unflushed();

}  // namespace dorvex::OutputPlanner
