#pragma once
// TerminalText: text from outside the program (file names, an encoder's standard error) made safe
// to print on a terminal. Control characters, C1 controls and bytes that are not UTF-8 are shown
// as escapes ("\n", "\x1b", "\u009b", "\xff"), so a file name cannot move the cursor or retitle
// the window and a message stays on one line; a long text is cut to an excerpt ending in "…".

#include <cstddef>
#include <string>
#include <string_view>

namespace dorvex::cli {

// At most `maxCharacters` characters of `text` (escapes count as one), escaped as above.
std::string terminalText(std::string_view text, std::size_t maxCharacters = 300);

}  // namespace dorvex::cli
