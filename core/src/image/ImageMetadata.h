#pragma once
// ImageMetadata: what an output carries of its source's metadata under a MetadataPolicy — the
// EXIF block, the XMP packet and the ICC profile of the pixels written — and the rules that pick
// them from the source's own (every recorded position left out unless asked for, the orientation
// reset for pixels stored upright).

#include <cstdint>
#include <vector>

#include "dorvex/model/CompressionOptions.h"

namespace dorvex {

struct ImageMetadata {
    using Bytes = std::vector<std::uint8_t>;

    Bytes exif;  // "Exif\0\0" and a TIFF structure, as a JPEG's APP1 segment holds it
    Bytes xmp;   // the XMP packet (XML)
    Bytes icc;   // the ICC profile the output's pixels are in

    bool empty() const { return exif.empty() && xmp.empty() && icc.empty(); }
    bool operator==(const ImageMetadata&) const = default;
};

namespace ImageMetadataRules {

// The source's EXIF as an output keeps it: nothing under strip; without the GPS directory under
// keepWithoutLocation; with `upright`, the orientation tag set to 1 (the pixels were turned).
// An EXIF block that does not parse is left out whole.
ImageMetadata::Bytes exif(const ImageMetadata::Bytes& source, MetadataPolicy policy, bool upright);

// The source's EXIF for an output that holds the pixels as stored (a lossless JPEG XL of a JPEG):
// as exif() without turning, and under strip only the orientation (none when it is 1), which the
// pixels need to be shown upright.
ImageMetadata::Bytes storedExif(const ImageMetadata::Bytes& source, MetadataPolicy policy, int orientation);

// The source's XMP as an output keeps it: nothing under strip; under keepWithoutLocation, the
// packet without any property, element or attribute, of any namespace, whose name says it
// records a place (GPS*, *Latitude*, *Longitude*, *Altitude*, *Location*, City, State, Country
// and the like), the rest byte for byte; nothing when the packet is no well-formed UTF-8 XML
// without a document type.
ImageMetadata::Bytes xmp(const ImageMetadata::Bytes& source, MetadataPolicy policy);

}  // namespace ImageMetadataRules

}  // namespace dorvex
