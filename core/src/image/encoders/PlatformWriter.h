#pragma once
// PlatformWriter: the writers behind the platform image encoder — AVIF and HEIC from a rendered
// picture, TIFF page by page as stored, ICNS element by element. An output that cannot be
// written is an EncodeFailure value; a source that cannot be read is a thrown ToolError.

#include <filesystem>
#include <optional>
#include <string_view>

#include "dorvex/image/EncodeFailure.h"
#include "image/ImageMetadata.h"
#include "dorvex/model/OutputFormat.h"
#include "image/Picture.h"

namespace dorvex::PlatformWriter {

// Encoder effort for AVIF on libvips' scale (0 fastest … 9 slowest), picked by measurement
// (bench/HeifEffortBench, Q 74): effort 3 makes files as small as the default 4 (+0.3 %) and
// 0.2 dB PSNR below it in a third of the time; 2 is faster again but loses up to 1.3 dB at the
// same size, 0 and 1 lose more; 5 and 6 gain under 0.15 dB for 1.4 to 2 times the time.
inline constexpr int avifEffort = 3;

// The x265 preset for HEIC (ultrafast … veryslow), picked by measurement (bench/HeifEffortBench,
// Q 74, Dune and IMG-20191006-WA0002): veryfast makes files 0.3 % larger than medium at the same
// PSNR (-0.01 dB) and takes no longer; ultrafast and superfast are 14 % and 7 % larger. (libheif's
// x265 default, which libvips leaves in place, is slower than medium: minutes for 12 MP.)
inline constexpr std::string_view heicPreset = "veryfast";

// An explicit AVIF effort, for measuring. HEIC takes no effort: it is written with heicPreset.
struct Effort {
    int value;
};

// An explicit x265 preset name, for measuring.
struct HeicPreset {
    std::string_view name;
};

// The picture as AVIF or HEIC (`format` must be one of them; anything else throws
// std::invalid_argument) at quality clamped to 1…100 (libvips Q for AVIF, libheif's quality for
// HEIC), 8-bit 4:2:0 (AVIF 4:4:4 from quality 90), with `metadata` (EXIF, XMP, ICC profile) and
// nothing else. A fully opaque alpha channel is left out. libvips writes AVIF; but where it would
// add an EXIF block of its own making to a profile that the `policy` of stripping metadata keeps
// (the colour space of the pixels), libheif does, with the same settings. Failure: ImageIO "AVIF"
// or "HEIC".
std::optional<EncodeFailure> writeLossy(const Picture& picture, OutputFormat format, int quality,
                                        const std::filesystem::path& out, const ImageMetadata& metadata = {},
                                        MetadataPolicy policy = MetadataPolicy::strip);
std::optional<EncodeFailure> writeLossy(const Picture& picture, OutputFormat format, int quality, Effort effort,
                                        const std::filesystem::path& out, const ImageMetadata& metadata = {},
                                        MetadataPolicy policy = MetadataPolicy::strip);

// HEIC with an explicit x265 preset; an unknown preset name is an ImageIO "HEIC" failure.
std::optional<EncodeFailure> writeHeic(const Picture& picture, int quality, HeicPreset preset,
                                       const std::filesystem::path& out, const ImageMetadata& metadata = {});

// Every page of a TIFF source (the one image of any other format), as stored — not turned
// upright, sample format, bands and 1/2/4-bit grey kept — with LZW or Deflate and a predictor,
// each page keeping its own orientation tag and ICC profile, and under a policy that keeps
// metadata its XMP packet (ImageMetadataRules::xmp; libvips writes no EXIF into TIFF). The one
// page of a source other than TIFF that holds no profile gets `colourProfile` (empty: none), the
// space its colours are in by other means (a HEIF file's nclx colour information). Throws
// ToolError::unreadable when the source cannot be opened; when a page cannot be decoded, the pages before it are written and then
// ToolError::unreadable is thrown. Failure to write: ImageIO "TIFF".
std::optional<EncodeFailure> writeTiff(const std::filesystem::path& source, TIFFCompression compression,
                                       const std::filesystem::path& out,
                                       MetadataPolicy metadata = MetadataPolicy::strip,
                                       const ImageMetadata::Bytes& colourProfile = {});

// The source ICNS with every element recompressed losslessly (IcnsFile::recompressed). Throws
// ToolError::unreadable when the source is not a readable icon family. Failure (nothing to
// write, or writing fails): ImageIO "ICNS".
std::optional<EncodeFailure> writeIcns(const std::filesystem::path& source, const std::filesystem::path& out);

}  // namespace dorvex::PlatformWriter
