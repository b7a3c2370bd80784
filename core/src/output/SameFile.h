#pragma once
// Path comparisons of the output writer: the spelling of a path with "." and ".." resolved, and
// whether two paths name one file.

#include <filesystem>

namespace dorvex::OutputPlanner {

// The absolute form of `path` with "." and ".." resolved; `path` itself, normalised, when the
// working folder cannot be read.
std::filesystem::path absoluteNormal(const std::filesystem::path& path);

// Two paths name the same file when they are the same path once "." and ".." are resolved, or
// when both exist and share device and inode (hard links, symbolic links, other spellings).
bool isSameFile(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace dorvex::OutputPlanner
