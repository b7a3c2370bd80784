#include "pdf/PDFStreamBound.h"

#include <qpdf/Pl_Discard.hh>

#include <algorithm>

namespace dorvex::PDFStreamBound {

void Guard::write(unsigned char const* data, size_t length) {
    total_ += length;
    if (total_ > limit_) throw TooLarge();
    getNext()->write(data, length);
}

void Guard::finish() { getNext()->finish(); }

std::size_t imageBound(long long width, long long height, int components) {
    if (width < 1 || height < 1 || components < 1) return 0;
    const long double samples = static_cast<long double>(width) * height * components;
    const long double bound = 2 * samples + 65536;
    return bound > static_cast<long double>(maxImageBytes) ? maxImageBytes : std::size_t(bound);
}

std::optional<std::size_t> decodedSize(QPDFObjectHandle stream, std::size_t limit, qpdf_stream_decode_level_e level) {
    if (!stream.isStream()) return std::nullopt;
    Pl_Discard discard;
    Guard guard(&discard, limit);
    try {
        if (!stream.pipeStreamData(&guard, nullptr, 0, level, true, false)) return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return guard.total();
}

}  // namespace dorvex::PDFStreamBound
