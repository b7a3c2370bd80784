#pragma once
// Giving a file a new name only where nothing stands yet: the step that backups of stored
// documents and new outputs share, so that neither ever replaces a file that appeared meanwhile.

#include <filesystem>

namespace dorvex {

// Renames `from` to `to` unless something (a file, a folder, a link) stands at `to`: in one step
// where the file system can, else as a second name made only where none is, then the old one
// removed. False, with errno set (EEXIST: the name is taken), when it did not happen.
bool renameExclusively(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace dorvex
