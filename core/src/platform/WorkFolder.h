#pragma once
// WorkFolder: a job's private folder in the system's temporary folder, named "<prefix><UUID>"
// with a fresh upper-case UUID from the kernel's random source. The owner creates it when it
// needs it (and reports a failure in its own words); it goes, with everything in it, when the
// WorkFolder does. Errors while removing it are ignored.
//
// The temporary folder is shared with every local user, so the folder is made the way mkdtemp
// makes one: exclusively (any existing name, a link included, is refused), mode 0700, checked
// through a descriptor opened without following links to be a directory of ours with that mode.
// That descriptor is held for the folder's life, and everything done to the folder afterwards
// (emptying it, handing it on) goes through it, never through its name. It also holds an
// exclusive flock (close-on-exec, so encoders do not inherit it): a folder of ours that nobody
// holds locked is a leftover of a run that died (SIGKILL, a crash). The first folder made in a
// temporary folder by a process removes such leftovers there: only directories named
// "dorvex-…<UUID>", owned by us, of mode 0700, not locked; anything else is left alone.
//
// A folder that was emptied cleanly is not removed but kept aside, under another fresh name, for
// the next WorkFolder of this process ("dorvex-spare-<UUID>" meanwhile), which renames it to its
// own name instead of making a new folder: on a busy folder of small files, making and removing a
// directory per job was a measurable share of the kernel's work (a new inode each time, and on
// some file systems a scan past the recently freed ones). A spare is used again only while its
// name still holds the very directory its descriptor holds (device and inode, owner, mode 0700);
// otherwise it is dropped without touching whatever has the name now. A few are kept at most;
// they are removed when the process exits.

#include <filesystem>
#include <string_view>
#include <system_error>

#include "dorvex/platform/FileDescriptor.h"

namespace dorvex {

class WorkFolder {
public:
    explicit WorkFolder(std::string_view prefix);
    ~WorkFolder();
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Makes the folder (and the temporary folder, if it is missing). Fails with EEXIST when
    // anything already has the folder's name. The throwing form throws
    // std::filesystem::filesystem_error.
    void create();
    void create(std::error_code& error);

    // Creates `file` empty, readable and writable by the owner only (an existing file is
    // truncated and made so), never through a link. For writers that open their output by name
    // and would otherwise make it with the default mode. False when it cannot.
    static bool makePrivateFile(const std::filesystem::path& file);

private:
    std::filesystem::path path_;
    FileDescriptor folder_;  // the folder, locked, once created
};

}  // namespace dorvex
