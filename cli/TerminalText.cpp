#include "TerminalText.h"

#include <algorithm>

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

// The columns one code point takes on a terminal, after Unicode's East Asian Width (wide and
// full-width ranges) and its combining marks; control characters never reach here.
std::size_t columnsOf(char32_t c) {
    const auto in = [c](char32_t first, char32_t last) { return c >= first && c <= last; };
    if (in(0x0300, 0x036F) || in(0x1AB0, 0x1AFF) || in(0x20D0, 0x20FF) || in(0xFE00, 0xFE0F) || c == 0x200B ||
        c == 0x200D) {
        return 0;
    }
    const bool wide = in(0x1100, 0x115F) || in(0x2E80, 0x303E) || in(0x3041, 0x33FF) || in(0x3400, 0x4DBF) ||
                      in(0x4E00, 0x9FFF) || in(0xA000, 0xA4CF) || in(0xAC00, 0xD7A3) || in(0xF900, 0xFAFF) ||
                      in(0xFE30, 0xFE4F) || in(0xFF00, 0xFF60) || in(0xFFE0, 0xFFE6) || in(0x1F300, 0x1F64F) ||
                      in(0x1F900, 0x1F9FF) || in(0x20000, 0x3FFFD);
    return wide ? 2 : 1;
}

}  // namespace

std::size_t columns(std::string_view text) {
    std::size_t width = 0;
    while (!text.empty()) {
        char32_t codePoint = 0;
        const std::size_t length = std::max<std::size_t>(decodeUtf8(text, codePoint), 1);
        width += length == 1 && static_cast<unsigned char>(text.front()) >= 0x80 ? 1 : columnsOf(codePoint);
        text.remove_prefix(length);
    }
    return width;
}

std::string fitToWidth(std::string_view text, std::size_t width) {
    if (columns(text) <= width) return std::string(text);
    if (width == 0) return {};
    std::string out;
    std::size_t used = 0;
    while (!text.empty()) {
        char32_t codePoint = 0;
        const std::size_t length = std::max<std::size_t>(decodeUtf8(text, codePoint), 1);
        const std::size_t next = columns(text.substr(0, length));
        if (used + next > width - 1) break;  // one column stays for "…"
        out.append(text.substr(0, length));
        used += next;
        text.remove_prefix(length);
    }
    return out + "…";
}

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
