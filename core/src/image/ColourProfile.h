#pragma once
// ColourProfile: the colour spaces a decoded picture may stay in, and the ICC profiles that name
// them. A picture keeps the space it was shot in when every output that carries a profile can
// carry that one: an RGB profile other than sRGB, or the primaries and transfer of HEIF colour
// information (nclx) written as a profile. sRGB itself (however a vendor wrote it), HDR transfers,
// linear light (8 bits would band), profiles too large to add to every output, damaged ones and
// whatever cannot be described are not kept: those pictures are converted to sRGB.

#include <filesystem>
#include <optional>

#include "image/ImageMetadata.h"

namespace dorvex::ColourProfile {

using Bytes = ImageMetadata::Bytes;

// The largest profile kept: an RGB profile of a display or a working space takes a few hundred
// bytes to a few KiB; one made of large tables (tens or hundreds of KiB) would weigh on every
// small output more than the colours it saves.
inline constexpr std::size_t maxKeptBytes = 64 * 1024;

// Whether the two profiles give the same colours: every colour of a 6 × 6 × 6 grid over the RGB
// cube converted from `a` to `b` (relative colorimetric) lands within 2/255 of where it started.
// False when either does not open as an RGB profile.
bool sameColours(const Bytes& a, const Bytes& b);

// Whether `profile` is sRGB (IEC 61966-2.1), whoever wrote it: sameColours with lcms2's own.
bool isSRGB(const Bytes& profile);

// `profile` when 8-bit RGB pixels may stay in it: an RGB profile that lcms2 opens and converts
// to sRGB from, that libpng embeds, at most maxKeptBytes long, not sRGB and not linear (its
// dark greys not spread far apart in sRGB). Nothing otherwise.
std::optional<Bytes> keepable(const Bytes& profile);

// HEIF colour information (an nclx "colr" box): the code points of its primaries and transfer,
// and the chromaticities (CIE 1931 x, y) the primaries code stands for.
struct Nclx {
    int primaries = 2;  // 1 BT.709, 9 BT.2020, 12 Display P3 …; 2 unspecified
    int transfer = 2;   // 13 sRGB, 1 BT.709, 16 PQ, 18 HLG …; 2 unspecified
    double red[2]{}, green[2]{}, blue[2]{}, white[2]{};
    bool operator==(const Nclx&) const = default;
};

// The nclx colour information of the primary image of a HEIF file (AVIF or HEIC); nothing when
// it has none (or a profile instead) or libheif cannot read the file.
std::optional<Nclx> heifNclx(const std::filesystem::path& file);

// An ICC profile of those primaries and that transfer: the sRGB curve (13), BT.709's (1, 6, 14,
// 15) or a pure gamma of 2.2 (4) or 2.8 (5). Nothing for unspecified primaries, for HDR (PQ,
// HLG), linear or any other transfer.
std::optional<Bytes> fromNclx(const Nclx& nclx);

}  // namespace dorvex::ColourProfile
