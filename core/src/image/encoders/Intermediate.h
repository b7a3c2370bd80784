#pragma once
// Intermediate: writes a picture as the file an external encoder reads — a PNG with alpha for
// pngquant, cwebp and cjxl, a binary PPM composited over white for cjpeg. The files carry no
// metadata (a PNG for cjxl may carry the colour profile of its pixels) and are temporary; both
// writers replace whatever is at the path.

#include <filesystem>

#include "image/ImageMetadata.h"
#include "image/Picture.h"

namespace dorvex::Intermediate {

// 8-bit RGBA PNG, fast compression, no metadata. Throws ToolError::writeFailed(file).
void writePNG(const Picture& picture, const std::filesystem::path& file);

// The same PNG with `profile`, the colour profile of the picture's pixels, in an iCCP chunk.
void writePNGWithProfile(const Picture& picture, const std::filesystem::path& file, const ImageMetadata::Bytes& profile);

// Binary PPM ("P6\n<W> <H>\n255\n", then RGB rows top to bottom), each pixel composited over
// white: with straight colour c and alpha a, the premultiplied p = round(c·a/255) and the byte
// min(255, p + 255 − a). Transparent pixels become white, opaque ones keep their colour. Written
// in one write. Throws ToolError::writeFailed(file).
void writePPM(const Picture& picture, const std::filesystem::path& file);

}  // namespace dorvex::Intermediate
