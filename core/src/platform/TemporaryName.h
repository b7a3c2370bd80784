#pragma once
// TemporaryName: a file name that is unlinked when its owner goes, unless it was handed over
// (released). Owners of hidden temporary files hold one, so that no temporary file outlives a
// write that failed or was given up.

#include <unistd.h>

#include <filesystem>
#include <utility>

namespace dorvex {

class TemporaryName {
public:
    TemporaryName() = default;
    ~TemporaryName() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TemporaryName(const TemporaryName&) = delete;
    TemporaryName& operator=(const TemporaryName&) = delete;

    void own(std::filesystem::path path) { path_ = std::move(path); }
    const std::filesystem::path& path() const { return path_; }
    void release() { path_.clear(); }

private:
    std::filesystem::path path_;
};

}  // namespace dorvex
