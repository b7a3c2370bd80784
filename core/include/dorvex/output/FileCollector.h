#pragma once
// FileCollector: turns what the user dropped or picked (files and folders) into the ordered,
// duplicate-free list of files the engine can compress, counts what it passed over and names
// the folders it could not read. It keeps no state between calls, looks at names only (never at
// contents), and never throws.

#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "dorvex/model/FileType.h"

namespace dorvex::FileCollector {

// A folder that could not be listed, dropped or met inside another, and why, in the user's
// language ("无法读取这个文件夹（没有读取权限）").
struct Unreadable {
    std::filesystem::path folder;
    std::string reason;
    bool operator==(const Unreadable&) const = default;
};

struct Result {
    // The accepted files in collection order, each once, as absolute paths with "." and ".."
    // resolved (symbolic links are kept as they were given).
    std::vector<std::filesystem::path> files;
    // Dropped paths that do not exist or are neither a file nor a folder (a pipe, a device), and
    // files of an unsupported type, dropped or found inside a folder. Duplicates, hidden entries, links and special files inside folders, and earlier
    // outputs inside folders are skipped without being counted.
    int ignored = 0;
    // The paths counted in `ignored`, in the order met (as given, or as found in a folder).
    std::vector<std::filesystem::path> passedOver;
    // Folders whose files could not all be listed, in the order met; what they yielded before the
    // failure is kept in `files`. A folder that went while it was walked is not one of them.
    std::vector<Unreadable> unreadable;

    bool operator==(const Result&) const = default;
};

// Handles the paths in the order given. A file is taken when its name's extension names a
// supported type, wherever it came from (an earlier output dropped by itself is taken too). A
// folder (or a link to one) contributes its supported files at its place in the order: walked
// recursively without hidden entries and without entering hidden folders, regular files only
// (links inside it are not followed), earlier outputs skipped, sorted by path in code-point order
// of the NFC form (no locale, no numeric runs: "img10.png" comes before "img2.png"). A folder
// that cannot be listed is named in `unreadable`; files are not opened here (their jobs find out).
Result collect(const std::vector<std::filesystem::path>& paths);

// A path in the form collect() lists it: absolute, "." and ".." removed lexically, no trailing
// separator; links are not resolved. Removing ".." after a symbolic link would name another file
// than the one the system reaches ("link/../a.png"), so such a path is kept as given (made absolute).
std::filesystem::path standardised(const std::filesystem::path& path);

// Whether the path's extension names a supported type; the disk is not looked at.
bool isSupported(const std::filesystem::path& path);

// The accepted types, one per output format in the order of its cases.
std::span<const FileType> supportedTypes();

}  // namespace dorvex::FileCollector
