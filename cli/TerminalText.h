#pragma once
// TerminalText: text from outside the program (file names, an encoder's standard error) made safe
// to print on a terminal. Control characters, C1 controls and bytes that are not UTF-8 are shown
// as escapes ("\n", "\x1b", "\u009b", "\xff"), so a file name cannot move the cursor or retitle
// the window and a message stays on one line; a long text is cut to an excerpt ending in "…".
// Also the columns a text takes on a terminal (East Asian wide characters take two), for lines
// that must fit the terminal's width.

#include <cstddef>
#include <string>
#include <string_view>

namespace dorvex::cli {

// At most `maxCharacters` characters of `text` (escapes count as one), escaped as above.
std::string terminalText(std::string_view text, std::size_t maxCharacters = 300);

// The columns `text` (UTF-8, as terminalText gives it) takes: two for wide characters (CJK,
// Hangul, full-width forms, emoji), none for combining marks, one for the rest.
std::size_t columns(std::string_view text);

// `text` whole when it takes at most `width` columns, else its longest start that leaves room
// for a closing "…" within `width`.
std::string fitToWidth(std::string_view text, std::size_t width);

}  // namespace dorvex::cli
