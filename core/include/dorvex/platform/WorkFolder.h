#pragma once
// WorkFolder: a job's private folder in the system's temporary folder, named "<prefix><UUID>"
// with a fresh upper-case UUID. The owner creates it when it needs it (and reports a failure in
// its own words); it goes, with everything in it, when the WorkFolder does. Errors while removing
// it are ignored.

#include <filesystem>
#include <string_view>

namespace dorvex {

class WorkFolder {
public:
    explicit WorkFolder(std::string_view prefix);
    ~WorkFolder();
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace dorvex
