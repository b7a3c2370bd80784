#pragma once
// Thumbnail: a small upright picture of a file for a list row or a preview, as 8-bit RGBA bytes
// (straight alpha, rows top to bottom, no padding) that a front end wraps without libvips.
// imageThumbnail() makes one from any image we read; the engine's ThumbnailLoader adds videos.

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

    bool operator==(const Thumbnail&) const = default;
};

// `size` shrunk, keeping its aspect, so that its longer side is at most `maxSide`; each side at
// least 1. A size that already fits is returned as it is.
PixelSize thumbnailSize(PixelSize size, int maxSide);

// The first image of `file`, upright, at most `maxSide` pixels on its longer side; nullopt when
// the file cannot be read as an image or `maxSide` is below 1. Never throws.
std::optional<Thumbnail> imageThumbnail(const std::filesystem::path& file, int maxSide);

}  // namespace dorvex
