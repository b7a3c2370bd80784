#pragma once
// Trash: the user's trash, the freedesktop.org way, so that the user (or any file manager) can
// put an item back. An entry is a name under "files/" and a record "info/<name>.trashinfo" with
// the item's absolute path (URL-escaped) and the local time it was trashed.
//
// Which trash: the home trash ($XDG_DATA_HOME/Trash) for items on the home trash's file system;
// elsewhere the volume's "$topdir/.Trash/<uid>" when "$topdir/.Trash" is a real folder (not a
// link) with the sticky bit, else "$topdir/.Trash-<uid>". Folders made here are private (0700);
// a per-user trash folder must be a folder of ours, not a link. An entry whose name is taken
// gets "<base>.2<.ext>", "<base>.3<.ext>", … (its record made exclusively decides).
//
// An item is placed in the trash before it leaves its place: a regular file (or link) as a
// second name of the same file, or, where the trash refuses a link, as a flushed copy; only a
// folder (or other item that can be neither linked nor copied) is moved there at once. So the
// caller can replace the item's name in one atomic rename, and until then undo the entry.
// Failures are thrown as Trash::Error.

#include <sys/types.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "dorvex/platform/FileDescriptor.h"

namespace dorvex::Trash {

struct Error : std::runtime_error {
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// An item's entry in the trash, made while the item (usually) still stands at its place, and on
// disk (flushed) before place() returns. Taken out of the trash again when the entry goes unless
// it was kept: the item then is exactly where and what it was (a moved folder goes back).
class Entry {
public:
    Entry() = default;
    ~Entry();
    Entry(Entry&& other) noexcept;
    Entry& operator=(Entry&& other) noexcept;
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;

    // The entry stays, whatever became of the item's own name (the caller replaced it).
    void keep();
    // Removes the item from its own place and keeps the entry: the item is now only in the trash.
    // Throws Error (and the entry is taken out again when it goes) when the item's name no longer
    // names the file that was placed, or cannot be removed.
    void complete();

    // The name in the trash ("photo.jpg", "photo.2.jpg", …); empty for an empty entry.
    const std::string& name() const { return name_; }

private:
    friend Entry place(const std::filesystem::path& item);
    void undo() noexcept;

    FileDescriptor files_;  // the trash's "files" and "info" folders
    FileDescriptor info_;
    std::string name_;
    std::filesystem::path item_;
    dev_t device_ = 0;  // the placed file, to recognise it at the item's name
    ino_t inode_ = 0;
    bool moved_ = false;  // the item left its place already (a folder)
    bool kept_ = true;    // nothing to undo
};

// Places the item at `path` (links not followed) in the trash, leaving it where it is where it
// can (see above); throws Error when it cannot be trashed (no such item, no trash folder on its
// file system, no permission, …). Safe to call from any thread.
Entry place(const std::filesystem::path& path);

// Moves the item at `path` to the trash: place() and Entry::complete(). Throws Error.
void moveToTrash(const std::filesystem::path& path);

}  // namespace dorvex::Trash
