#pragma once
// PngRows: a PNG file decoded through libpng itself, row by row — the header, every row of every
// pass, then the chunks up to IEND with their CRCs. The output check reads PNG attempts with it,
// and SourceImage decodes plain PNG sources with it: for a small picture, a libvips pipeline costs
// several times what the decoding does.

#include <filesystem>
#include <functional>
#include <optional>

#include "dorvex/model/Cancellation.h"
#include "dorvex/model/PixelSize.h"

namespace dorvex::PngRows {

// Where the rows go: given the picture's size, the start of a buffer of width × 4 bytes per row,
// top to bottom; nullptr when there is none (the read then fails).
using RgbaBuffer = std::function<unsigned char*(PixelSize)>;

// Decodes `file` and gives the size of its picture, or nothing when it does not decode, or when
// `isCancelled` answered true (asked every 64 rows). Without `into`, the rows are decoded and
// dropped. With it, only an 8-bit RGB or RGBA file is read: its rows go into the buffer as RGBA,
// an opaque alpha added to RGB.
std::optional<PixelSize> read(const std::filesystem::path& file, const RgbaBuffer& into = nullptr,
                              const CancelQuery& isCancelled = nullptr);

}  // namespace dorvex::PngRows
