#pragma once
// MetadataWriter: private to the encoders. Adds the metadata an output keeps to a file that an
// external encoder wrote without it — JPEG through libjpeg (the coefficients and the scan layout
// copied, so the picture and its size stay as the encoder made them), PNG chunk by chunk
// (the image data copied), WebP through libwebpmux (chunks only) — replacing the file in place.

#include <filesystem>

#include "image/ImageMetadata.h"
#include "dorvex/model/OutputFormat.h"

namespace dorvex::MetadataWriter {

// Adds `metadata` to `file`, which holds `format` (JPEG, PNG or WebP; other formats and empty
// metadata leave the file untouched). False
// when the file cannot be read as that format or cannot be written again (it is then unchanged
// or removed, never half written). A part the format cannot hold in one piece (EXIF or XMP
// above 64 KB in JPEG) is left out.
bool add(const std::filesystem::path& file, OutputFormat format, const ImageMetadata& metadata);

// Writes `to` as the JPEG `from` with the same coefficients and scans and `metadata` as its only
// metadata (none of `from`'s own segments). False when `from` is no readable JPEG or `to` cannot
// be written.
bool rewriteJpeg(const std::filesystem::path& from, const std::filesystem::path& to, const ImageMetadata& metadata);

}  // namespace dorvex::MetadataWriter
