#pragma once
// HeifWriter: private to the platform writer. HEIC through libheif directly: libvips' heifsave
// hands libheif's x265 plug-in no speed setting, which leaves x265 at its slow default (minutes
// for a camera photo), so we drive libheif ourselves to pick the x265 preset.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "dorvex/image/ImageMetadata.h"
#include "dorvex/image/Picture.h"

namespace dorvex::HeifWriter {

using Bytes = std::vector<std::uint8_t>;

// The picture as HEIC: 8-bit 4:2:0 HEVC at libheif quality `quality` (1…100) with the x265
// preset `preset`, alpha as an auxiliary image only when some pixel is not opaque, libheif's own
// colour signalling (its default nclx) and `metadata` (the ICC profile on the image, EXIF and XMP
// as items of their own). nullopt on any failure.
std::optional<Bytes> encode(const Picture& picture, int quality, std::string_view preset, const ImageMetadata& metadata);

}  // namespace dorvex::HeifWriter
