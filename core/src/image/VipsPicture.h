#pragma once
// The libvips side of Picture: for the engine's own sources only (front ends never include it).

#include <vips/vips8>

#include "dorvex/image/Picture.h"

namespace dorvex {

struct Picture::Storage {
    vips::VImage image;  // uchar, sRGB, 4 bands (RGBA, straight alpha), fully computed in memory
};

// Wraps an image that is already 8-bit sRGB RGBA; the caller makes sure of that.
inline Picture makePicture(vips::VImage image) {
    return Picture(std::make_shared<const Picture::Storage>(Picture::Storage{std::move(image)}));
}

inline const vips::VImage& vipsImage(const Picture& picture) { return picture.storage().image; }

}  // namespace dorvex
