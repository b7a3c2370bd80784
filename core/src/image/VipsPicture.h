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

// Any decoded layout as 8-bit sRGB with a straight alpha band: the embedded profile honoured,
// untagged pixels taken as their interpretation says (see Picture.cpp).
vips::VImage toSRGBA(vips::VImage image);

}  // namespace dorvex
