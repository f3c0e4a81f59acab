#pragma once

// Request data made safe for a log line: no byte of it can end the line, forge another or drive
// the terminal that shows the log.

#include <cstddef>
#include <string>
#include <string_view>

namespace channel {

// Values longer than this are cut in log lines.
inline constexpr size_t MAX_LOGGED_VALUE = 300;

// Control characters (C0, DEL and C1) written as escapes: \n, \r, \t, \xHH, \u00HH. Expects UTF-8.
std::string escapeControls(std::string_view text);

// escapeControls of at most MAX_LOGGED_VALUE bytes (cut on a character boundary); a cut value
// ends in "… (N bytes)", N being its whole size.
std::string loggedValue(std::string_view value);

}  // namespace channel
