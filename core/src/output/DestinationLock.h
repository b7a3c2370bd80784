#pragma once
// DestinationLock: a process-wide lock keyed by an output's destination. A writer waits until its
// key is free, claims it, and frees it when the lock goes.

#include <filesystem>
#include <string>

namespace dorvex::OutputPlanner {

// The lock key of a destination: its absolute path with the symbolic links of its folder
// resolved, so that two spellings of one folder meet at the same key. The file name itself is
// kept: a symbolic link standing at the destination is replaced, not written through.
std::string lockKey(const std::filesystem::path& destination);

class DestinationLock {
public:
    explicit DestinationLock(const std::filesystem::path& destination);
    ~DestinationLock();
    DestinationLock(const DestinationLock&) = delete;
    DestinationLock& operator=(const DestinationLock&) = delete;

    const std::string& key() const { return key_; }

private:
    std::string key_;
};

}  // namespace dorvex::OutputPlanner
