#pragma once
// TextDecoding: turning the bytes that external tools print into text. Decoding is UTF-8 with
// every ill-formed sequence replaced by U+FFFD, so any byte string gives valid UTF-8; trimming
// removes white space and line breaks at both ends.

#include <string>
#include <string_view>

namespace dorvex::TextDecoding {

// Valid UTF-8 passes unchanged. Each maximal ill-formed subpart (a stray continuation byte, a
// byte that never starts a sequence, a sequence cut short, an overlong form, a surrogate, a code
// point above U+10FFFF) becomes one U+FFFD, as the Unicode standard recommends.
std::string decodeUTF8(std::string_view bytes);

// Removes leading and trailing white space and line breaks from valid UTF-8: U+0009…U+000D,
// U+0085 and the Unicode separators (categories Zs, Zl, Zp, e.g. U+00A0, U+2003, U+3000).
std::string trimWhitespace(std::string_view text);

}  // namespace dorvex::TextDecoding
