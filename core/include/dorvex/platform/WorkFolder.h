#pragma once
// WorkFolder: a job's private folder in the system's temporary folder, named "<prefix><UUID>"
// with a fresh upper-case UUID. The owner creates it when it needs it (and reports a failure in
// its own words); it goes, with everything in it, when the WorkFolder does. Errors while removing
// it are ignored.
//
// A folder that was emptied cleanly is not removed but kept aside, under another fresh name, for
// the next WorkFolder of this process ("dorvex-spare-<UUID>" meanwhile), which renames it to its own name instead of making a new
// folder: on a busy folder of small files, making and removing a directory per job was a
// measurable share of the kernel's work (a new inode each time, and on some file systems a scan
// past the recently freed ones). A few are kept at most; they are removed when the process exits.

#include <filesystem>
#include <string_view>
#include <system_error>

namespace dorvex {

class WorkFolder {
public:
    explicit WorkFolder(std::string_view prefix);
    ~WorkFolder();
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Makes the folder (and the temporary folder, if it is missing). The throwing form throws
    // std::filesystem::filesystem_error.
    void create();
    void create(std::error_code& error);

private:
    std::filesystem::path path_;
    bool created_ = false;
};

}  // namespace dorvex
