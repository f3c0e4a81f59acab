#pragma once

// Text from data (transcripts, folder and session names, titles) on its way to a person's
// terminal: nothing in it may move the cursor, set a title, write the clipboard or end a line.

#include <string>
#include <string_view>

namespace base {

// The text with every control character shown as an escape, never emitted: \n, \r, \t, \x1b
// (C0 and DEL), \u009b (C1, and the separators and bidirectional controls U+2028/2029,
// U+202A–202E, U+2066–2069), and \xHH for each byte that is not part of valid UTF-8.
std::string terminalSafe(std::string_view text);

// The text is valid UTF-8 without C0 or C1 controls, DEL, U+2028 or U+2029: typed at a prompt,
// it puts characters there and nothing else.
bool plainText(std::string_view text);

}  // namespace base
