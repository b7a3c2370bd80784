// Decoding tool output as UTF-8 with replacement, and trimming white space at both ends.

#include "platform/TextDecoding.h"

#include <gtest/gtest.h>

using dorvex::TextDecoding::decodeUTF8;
using dorvex::TextDecoding::trimWhitespace;

namespace {
const std::string R = "\xEF\xBF\xBD";  // U+FFFD
}

TEST(TextDecoding, ReplacesEachMaximalIllFormedSubpartOnce) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain ascii", "plain ascii"},
        {"\xE5\x8E\x8B\xE7\xBC\xA9 \xF0\x9F\x98\x80", "\xE5\x8E\x8B\xE7\xBC\xA9 \xF0\x9F\x98\x80"},
        {std::string("a\0b", 3), std::string("a\0b", 3)},
        {"\x80", R},                                 // stray continuation byte
        {"\xBF\x80", R + R},                         // each stray byte on its own
        {"\xC0\xAF", R + R},                         // overlong lead never starts a sequence
        {"\xE0\x80\xAF", R + R + R},                 // overlong three-byte form
        {"\xED\xA0\x80", R + R + R},                 // surrogate U+D800
        {"\xF4\x90\x80\x80", R + R + R + R},         // above U+10FFFF
        {"\xF5\x80", R + R},                         // byte that never occurs
        {"\xE2\x82", R},                             // cut short at the end
        {"\xE2\x82x", R + "x"},                      // cut short before ASCII: one replacement
        {"\xF0\x9F\x98", R},                         // four-byte form cut short
        {"\xF0\x9F\x98\xC3\xA9", R + "\xC3\xA9"},    // resumes at the byte that broke it
        {"\xFF\xFE", R + R},
        {"\xEF\xBF\xBD", "\xEF\xBF\xBD"},            // an actual U+FFFD stays
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},    // U+10FFFF is the last valid one
    };
    for (const auto& [bytes, expected] : cases)
        EXPECT_EQ(decodeUTF8(bytes), expected) << testing::PrintToString(bytes);
}

TEST(TextDecoding, TrimsWhiteSpaceAndLineBreaksAtBothEndsOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {"  bad input\n", "bad input"},
        {"\r\n\t\v\f x \r\n", "x"},
        {"a \n b", "a \n b"},
        {"\xC2\x85\xC2\xA0x\xE2\x80\xA8\xE3\x80\x80", "x"},  // NEL, NBSP, LINE SEPARATOR, ideographic
        {"\xE2\x80\x8B" "x", "\xE2\x80\x8B" "x"},              // zero-width space is not white space
        {"\xE5\x8E\x8B ", "\xE5\x8E\x8B"},
        {" \n\t ", ""},
        {"", ""},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(trimWhitespace(text), expected) << testing::PrintToString(text);
}
