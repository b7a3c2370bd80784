#pragma once
// OutputCheck: whether an encoder's output is a picture at all before anything is placed. An
// encoder that exits 0 after writing nothing, a truncated file or garbage must never replace a
// source: the kept attempt is read back (header and every pixel, through libvips or our ICNS
// reader) and must have the pixel size it was asked for.

#include <filesystem>
#include <optional>
#include <string>

#include "dorvex/model/PixelSize.h"

namespace dorvex::OutputCheck {

// What is wrong with `file`, or nothing when it decodes to `expected` pixels: "it is missing",
// "it is empty", "it does not decode", "it holds 320×240 pixels, not 640×480".
std::optional<std::string> problem(const std::filesystem::path& file, PixelSize expected);

}  // namespace dorvex::OutputCheck
