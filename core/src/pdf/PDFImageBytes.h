#pragma once
// PDFImageBytes: how many encoded image bytes each page of a PDF draws on — the yardstick that
// tells which pages a rewrite made heavier. Counts stored stream lengths, never decoded pixels.

#include <cstdint>
#include <filesystem>
#include <vector>

class QPDF;

namespace dorvex::PDFImageBytes {

// Forms nested deeper than this below a page add nothing.
inline constexpr int maxFormDepth = 7;

// One entry per page, in page order: the /Length of every image in the page's /XObject resources
// plus the /Length of its /SMask, and the same for the images of the forms there, down to
// maxFormDepth levels. A page without resources or XObjects has 0. Empty when the file cannot be
// opened as a PDF (also when it needs a password).
std::vector<std::int64_t> perPage(const std::filesystem::path& file);

// The same for a document already open.
std::vector<std::int64_t> perPage(QPDF& document);

}  // namespace dorvex::PDFImageBytes
