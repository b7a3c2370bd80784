#pragma once
// HeifWriter: private to the platform writer. HEIC through libheif directly: libvips' heifsave
// hands libheif's x265 plug-in no speed setting, which leaves x265 at its slow default (minutes
// for a camera photo), so we drive libheif ourselves to pick the x265 preset. AVIF too where
// libvips cannot write what is asked (a profile without an EXIF block), with libvips' settings.

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "image/ImageMetadata.h"
#include "image/Picture.h"

namespace dorvex::HeifWriter {

using Bytes = std::vector<std::uint8_t>;

// HEVC (HEIC) with an x265 preset (ultrafast … veryslow), 8-bit 4:2:0.
struct Hevc {
    std::string_view preset;
};
// AV1 (AVIF) with the first AV1 encoder libheif has, at libvips' effort (0 fastest … 9, the
// encoder's speed 9 − effort), 8-bit 4:2:0 below quality 90 and 4:4:4 from it, as libvips does.
struct Av1 {
    int effort;
};

// The picture at libheif quality `quality` (1…100), alpha as an auxiliary image only when some
// pixel is not opaque, libheif's own colour signalling (its default nclx) and `metadata` (the
// ICC profile on the image, EXIF and XMP as items of their own). nullopt on any failure.
std::optional<Bytes> encode(const Picture& picture, int quality, std::variant<Hevc, Av1> compression,
                            const ImageMetadata& metadata);

}  // namespace dorvex::HeifWriter
