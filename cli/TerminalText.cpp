#include "TerminalText.h"

#include <fmt/format.h>

namespace dorvex::cli {

namespace {

// The length of the well-formed UTF-8 sequence at the start of `text` and its code point; 0 when
// the first byte does not start one.
std::size_t decodeUtf8(std::string_view text, char32_t& codePoint) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, minimum = 0x80, codePoint = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, minimum = 0x800, codePoint = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, minimum = 0x10000, codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (byte(i) & 0x3F);
    }
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    if (codePoint < minimum || codePoint > 0x10FFFF || surrogate) return 0;
    return length;
}

std::string escaped(char32_t codePoint) {
    switch (codePoint) {
        case '\n': return "\\n";
        case '\r': return "\\r";
        case '\t': return "\\t";
        default: break;
    }
    if (codePoint < 0x80) return fmt::format("\\x{:02x}", static_cast<unsigned>(codePoint));
    return fmt::format("\\u{:04x}", static_cast<unsigned>(codePoint));
}

}  // namespace

std::string terminalText(std::string_view text, std::size_t maxCharacters) {
    std::string out;
    std::size_t characters = 0;
    while (!text.empty()) {
        if (characters == maxCharacters) {
            out += "…";
            break;
        }
        char32_t codePoint = 0;
        const std::size_t length = decodeUtf8(text, codePoint);
        if (length == 0) {
            out += fmt::format("\\x{:02x}", static_cast<unsigned char>(text.front()));
            text.remove_prefix(1);
        } else {
            const bool control = codePoint < 0x20 || codePoint == 0x7F || (codePoint >= 0x80 && codePoint <= 0x9F);
            if (control) {
                out += escaped(codePoint);
            } else {
                out.append(text.substr(0, length));
            }
            text.remove_prefix(length);
        }
        ++characters;
    }
    return out;
}

}  // namespace dorvex::cli
