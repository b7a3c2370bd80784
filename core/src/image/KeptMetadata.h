#pragma once

#include <filesystem>

#include <vips/vips8>

#include "image/ImageMetadata.h"
#include "image/VipsOpening.h"

namespace dorvex {

// The profile of the colour space the decoded pixels stay in (see ColourProfile), empty when
// they are converted to sRGB: the file's own RGB profile, or for a HEIF file without one a
// profile made from its nclx colour information. Only colour pictures stay: grey, CMYK, Lab and
// float pixels are converted, as is everything whose colours cannot be kept.
ImageMetadata::Bytes keptColourProfile(const Opened& opened, const std::filesystem::path& file);

// What an output keeps of a decoded file's metadata. The pixels are held upright, so the EXIF
// orientation becomes 1. Pixels kept in their own colour space keep its profile under every
// policy (without it their colours would change); pixels converted to sRGB keep the sRGB profile
// where the source carried one and metadata is kept (the source's own would mislabel them).
ImageMetadata keptMetadata(const vips::VImage& decoded, MetadataPolicy policy, const ImageMetadata::Bytes& colourProfile);

// The same for the pixels as the file stores them: not turned, in the file's own profile.
ImageMetadata metadataAsStored(const vips::VImage& decoded, MetadataPolicy policy, int orientation);

}  // namespace dorvex
