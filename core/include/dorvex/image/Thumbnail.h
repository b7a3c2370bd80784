#pragma once
// Thumbnail: a small upright picture of a file for a list row or a preview, as 8-bit sRGB RGBA
// bytes (straight alpha, rows top to bottom, no padding) that a front end wraps without libvips:
// a picture in another colour space (a Display P3 photo) is converted for the screen.
// imageThumbnail() makes one from any image we read; the engine's ThumbnailLoader adds videos.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "dorvex/model/PixelSize.h"

namespace dorvex {

struct Thumbnail {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;  // width × height × 4 bytes
    // How much the decoder shrank the picture as it read it: 2, 4 or 8 for a JPEG read at a
    // fraction of its size, 1 when every stored pixel was decoded.
    int decodeShrink = 1;

    bool operator==(const Thumbnail&) const = default;
};

// `size` shrunk, keeping its aspect, so that its longer side is at most `maxSide`; each side at
// least 1. A size that already fits is returned as it is. (Inline: the video module computes it
// too, without the image code.)
inline PixelSize thumbnailSize(PixelSize size, int maxSide) {
    const int longSide = std::max(size.width, size.height);
    if (longSide <= maxSide) return size;
    const double scale = double(maxSide) / longSide;
    const auto side = [scale, maxSide](int length) {
        return std::clamp(int(std::lround(length * scale)), 1, maxSide);
    };
    return PixelSize{side(size.width), side(size.height)};
}

// The largest factor (1, 2, 4 or 8) a JPEG decoder may shrink `size` by while reading it and
// still hold at least `target` pixels each way, so that resampling only ever shrinks.
int jpegDecodeShrink(PixelSize size, PixelSize target);

// The first image of `file`, upright, at most `maxSide` pixels on its longer side; nullopt when
// the file cannot be read as an image or `maxSide` is below 1. A JPEG is read at a fraction of
// its size when the thumbnail is small enough; every other file is read whole. Never throws.
std::optional<Thumbnail> imageThumbnail(const std::filesystem::path& file, int maxSide);

}  // namespace dorvex
