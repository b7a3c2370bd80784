#pragma once
// PDFImageFilter: the one rewriting pass of a PDF. It follows every page, form and annotation
// appearance to learn the largest size at which each image is drawn, brings the images that it can
// decode safely down to the target resolution, re-encodes them as JPEG where that makes them
// smaller, deflates the other Flate streams again where the strongest level saves bytes, and
// writes the document out. Apart from those images (and the soft masks that follow their image's
// new size) every decoded stream stays byte for byte what it was; no stream is replaced by a
// larger one. Documents already packed in object streams keep their packing; others get it.

#include <filesystem>
#include <functional>

#include "pdf/PDFProfile.h"

namespace dorvex::PDFImageFilter {

struct Outcome {
    int imagesFound = 0;        // image XObjects met in the resources of pages, forms and appearances
    int imagesDownsampled = 0;  // brought down to the resolution
    int imagesReplaced = 0;     // stream replaced by a smaller encoding (downsampled or not)
    int streamsRecompressed = 0;  // other Flate streams stored smaller, their data unchanged
    bool cancelled = false;     // stopped between two images; nothing was written

    bool operator==(const Outcome&) const = default;
};

// Reads `source` and writes the filtered document to `destination`. `isCancelled` (optional) is
// asked between images. Throws std::exception when the source cannot be read or the destination
// cannot be written; an image that cannot be decoded or re-encoded is simply kept as it was.
Outcome apply(const std::filesystem::path& source, const std::filesystem::path& destination,
              const PDFProfile::FilterSettings& settings, const std::function<bool()>& isCancelled = {});

}  // namespace dorvex::PDFImageFilter
