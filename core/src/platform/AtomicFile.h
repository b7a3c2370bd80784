#pragma once
// AtomicFile: whole-file reads and writes of small stored documents (presets, settings). A write
// never leaves a half-written file behind: the bytes go to a hidden temporary file beside the
// target, are flushed to disk and then renamed over it, so readers see the old or the new file.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace dorvex::AtomicFile {

// A step of a read or write failed; code() is the errno and the text names the step and the path,
// then the system's message: "cannot write /home/u/.config/x.json: No space left on device".
struct FileError : std::system_error {
    enum class Kind { createFolder, read, write };

    FileError(Kind errorKind, const std::filesystem::path& path, std::error_code code);

    Kind kind;
    std::filesystem::path path;
};

// What to do when a file already stands at the target.
enum class Existing { replace, keep };

// Stored documents are small; a file larger than this is not one of ours.
inline constexpr std::size_t maxReadBytes = std::size_t(16) << 20;

// The whole file, which must be a regular file of at most `maxBytes`. A pipe, a device or a
// folder standing at the path is refused without blocking. Throws FileError (read): "File too
// large" for a larger file, "Invalid argument" for what is not a regular file.
std::string read(const std::filesystem::path& file, std::size_t maxBytes = maxReadBytes);

// Writes `data` to `file`, creating its missing parent folders. With Existing::replace the file is
// replaced (keeping its permission bits); with Existing::keep a file that stands there, or appears
// there meanwhile, is left alone. Returns whether `data` was put in place. Throws FileError.
bool write(const std::filesystem::path& file, std::string_view data, Existing existing = Existing::replace);

}  // namespace dorvex::AtomicFile
