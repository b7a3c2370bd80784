#pragma once
// PDFFlate: private to the PDF filter. The filters a stream names, Flate at the strongest level
// (for our own data and for every stream the writer compresses), and the recompression of
// streams stored with Flate alone, kept only where it saves bytes.

#include <qpdf/QPDFObjectHandle.hh>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace dorvex::PDFFlate {

// The names of a stream's /Filter entry, in order (none for null); nullopt when it is malformed.
std::optional<std::vector<std::string>> filterNames(QPDFObjectHandle filter);

// Sets qpdf's process-wide Flate level to 9, once.
void useStrongestLevel();

// `size` bytes at `data`, deflated.
std::string deflated(const unsigned char* data, std::size_t size);

// Deflates a stream stored with Flate alone again and keeps the result where it is smaller; the
// decoded bytes stay what they were. True when the stream was replaced.
bool recompress(QPDFObjectHandle stream);

}  // namespace dorvex::PDFFlate
