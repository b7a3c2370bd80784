#pragma once

#include <filesystem>

namespace dorvex {

// How a PNG file is laid out up to its first IDAT: plain (8-bit RGB or RGBA with only plain
// chunks), and whether an EXIF chunk is among them; `other` for anything else.
enum class PngLayout { other, plain, plainWithExif };

// Reads the chunk headers up to the first IDAT and skips their data.
PngLayout pngLayout(const std::filesystem::path& file);

}  // namespace dorvex
