// The PDF filter's readers of a document as qpdf opens it: the survey of where each image is
// drawn, and the image bytes per page. Any bytes end in a survey or in an exception the PDF job
// turns into its "cannot read" failure; never a crash, an endless walk or unbounded memory.

#include <qpdf/QPDF.hh>

#include <cstddef>
#include <cstdint>
#include <exception>

#include "FuzzCheck.h"
#include "pdf/PDFImageBytes.h"
#include "pdf/PDFImageSurvey.h"

using namespace dorvex;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        QPDF document;
        document.setSuppressWarnings(true);
        document.processMemoryFile("fuzzed.pdf", reinterpret_cast<const char*>(data), size);
        for (const auto& [id, use] : PDFImageSurvey::run(document)) {
            // Infinite extents (huge finite matrices) are fine: the filter then keeps the pixel size.
            fuzz::check(use.widthPoints >= 0 && use.heightPoints >= 0, "drawn sizes are numbers, not negative");
        }
        for (std::int64_t bytes : PDFImageBytes::perPage(document)) {
            fuzz::check(bytes >= 0, "a page's image bytes are not negative");
        }
    } catch (const std::exception&) {
        // qpdf's errors on damaged files; the PDF job reports them as unreadable.
    }
    return 0;
}
