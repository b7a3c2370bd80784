#include "platform/TextDecoding.h"

#include <cstddef>
#include <cstdint>

namespace dorvex::TextDecoding {

namespace {

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

bool isWhitespace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::uint8_t byteAt(std::string_view text, std::size_t index) {
    return static_cast<std::uint8_t>(text[index]);
}

// In valid UTF-8: the length of the sequence a lead byte starts, and the code point there.
std::size_t sequenceLength(std::uint8_t lead) {
    if (lead < 0x80) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

char32_t codePointAt(std::string_view text, std::size_t index, std::size_t length) {
    std::uint8_t lead = byteAt(text, index);
    if (length == 1) return lead;
    char32_t c = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (byteAt(text, index + k) & 0x3F);
    return c;
}

}  // namespace

std::string decodeUTF8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::uint8_t lead = byteAt(bytes, i);
        if (lead < 0x80) {
            text.push_back(bytes[i]);
            ++i;
            continue;
        }
        // Well-formed sequences (Unicode table 3-7): the lead fixes how many continuation bytes
        // follow and the allowed range of the first one; later ones are always 80…BF.
        std::size_t continuations = 0;
        std::uint8_t low = 0x80;
        std::uint8_t high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            continuations = 1;
        } else if (lead == 0xE0) {
            continuations = 2;
            low = 0xA0;
        } else if (lead == 0xED) {
            continuations = 2;
            high = 0x9F;
        } else if (lead >= 0xE1 && lead <= 0xEF) {
            continuations = 2;
        } else if (lead == 0xF0) {
            continuations = 3;
            low = 0x90;
        } else if (lead == 0xF4) {
            continuations = 3;
            high = 0x8F;
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            continuations = 3;
        } else {
            text.append(replacementCharacter);
            ++i;
            continue;
        }
        std::size_t end = i + 1;
        std::size_t taken = 0;
        while (taken < continuations && end < bytes.size()) {
            std::uint8_t next = byteAt(bytes, end);
            if (next < low || next > high) break;
            low = 0x80;
            high = 0xBF;
            ++end;
            ++taken;
        }
        if (taken == continuations)
            text.append(bytes.substr(i, end - i));
        else
            text.append(replacementCharacter);  // the maximal subpart, resumed at the bad byte
        i = end;
    }
    return text;
}

std::string trimWhitespace(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = begin;
    // One pass: `begin` stops at the first non-space, `end` follows the last one seen.
    bool seenContent = false;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = sequenceLength(byteAt(text, i));
        if (i + length > text.size()) length = text.size() - i;
        if (!isWhitespace(codePointAt(text, i, length))) {
            if (!seenContent) begin = i;
            seenContent = true;
            end = i + length;
        }
        i += length;
    }
    if (!seenContent) return {};
    return std::string(text.substr(begin, end - begin));
}

}  // namespace dorvex::TextDecoding
