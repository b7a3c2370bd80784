#pragma once
// The libvips side of Picture: for the engine's own sources only (front ends never include it).

#include <vips/vips8>

#include "image/ImageMetadata.h"
#include "image/Picture.h"

namespace dorvex {

struct Picture::Storage {
    // uchar, 4 bands (RGBA, straight alpha), fully computed in memory; labelled sRGB, and in sRGB
    // unless its holder says which profile its colours are in (SourceImage::colourProfile)
    vips::VImage image;
};

// Wraps an image that is already 8-bit RGBA labelled sRGB; the caller makes sure of that.
inline Picture makePicture(vips::VImage image) {
    return Picture(std::make_shared<const Picture::Storage>(Picture::Storage{std::move(image)}));
}

inline const vips::VImage& vipsImage(const Picture& picture) { return picture.storage().image; }

// Any decoded layout as 8-bit sRGB with a straight alpha band: the embedded profile honoured,
// untagged pixels taken as their interpretation says (see Picture.cpp).
vips::VImage toSRGBA(vips::VImage image);

// 8-bit RGBA pixels whose colours are in `profile` (empty: sRGB already) converted to sRGB.
vips::VImage toSRGBA(const vips::VImage& rgba, const ImageMetadata::Bytes& profile);

// Any decoded layout as 8-bit RGBA, as toSRGBA makes it, with the colours left as they are: for
// pixels kept in the colour space of their own profile (which is taken off the image).
vips::VImage toRGBA(vips::VImage image);

}  // namespace dorvex
