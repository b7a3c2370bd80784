#pragma once
// PDFOutput: private to the PDF job. How every PDF it makes is written, and whether a written PDF
// reads back. qpdf writes a document it had to repair on reading from what it repaired: a trailer
// without /Size came out without /Size again (and, packed into object streams, as a
// cross-reference stream qpdf itself cannot open), so the writer gives the trailer its /Size first.
// Reading back is strict (no repair at all) and cheap: the cross-reference data, the trailer and
// the page tree, never a page's content.

#include <qpdf/Constants.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "dorvex/text/Translation.h"

class QPDF;

namespace dorvex::PDFOutput {

// The file a candidate that does not read back is written into again, in the job's work folder.
inline constexpr std::string_view unpackedFileName = "unpacked.pdf";

// The job's failure when its output does not read back; the reason follows in brackets.
inline constexpr std::string_view unreadableText = i18nMark("压缩后的 PDF 无法读回，已保留原文件");

// Writes `document` to `file`, made private to the user first, packed as `packing` says; streams
// are compressed, those stored with Flate alone kept as they are. Throws std::exception when qpdf
// cannot write it.
void write(QPDF& document, const std::filesystem::path& file, qpdf_object_stream_e packing);

// What keeps `file` from reading back, without any repair, as a PDF of `pageCount` pages: qpdf's
// words, or the pages found. Nothing when it reads back.
std::optional<std::string> readBackProblem(const std::filesystem::path& file, std::size_t pageCount);

}  // namespace dorvex::PDFOutput
