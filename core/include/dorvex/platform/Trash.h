#pragma once
// Trash: moves a file or folder to the user's trash the freedesktop.org way (through GIO: the home
// trash for the home's file system, a per-volume ".Trash-<uid>" elsewhere), so that the user can
// put it back. A failure is thrown as Trash::Error, whose text is GLib's own message.

#include <filesystem>
#include <stdexcept>
#include <string>

namespace dorvex::Trash {

struct Error : std::runtime_error {
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// Moves the item at `path` to the trash; throws Error when it cannot be trashed (no trash folder
// on its file system, no permission, no such item, …). Safe to call from any thread.
void moveToTrash(const std::filesystem::path& path);

}  // namespace dorvex::Trash
