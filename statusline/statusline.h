#pragma once

// `channel-server statusline`: Claude Code's status line, drawn from the companion's answer to
// one `statusline` request. The render is pure; runStatusline only moves bytes, and always ends
// with status 0 so that claude keeps the line.

#include "base/json.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace statusline {

using base::Json;

// What became of the companion's part of a line.
enum class Companion { Answered, Starting, Failed };

struct LineOptions {
  size_t columns = 80;  // no line is wider
  bool colour = true;
};

// The line, or two when the width allows and someone waits or a lease is held; each line ends in
// a line feed. `input` is claude's status JSON, `answer` the op's (ignored unless Answered). Text
// from either is made safe to print first.
std::string renderStatus(const Json& input, const Json& answer, Companion state,
                         const LineOptions& options);

// The width in columns, counting one a code point (wide characters are counted as one).
size_t columnsOf(std::string_view text);

// COLUMNS when it is a number from 1 to 10000, else 80.
size_t columnsFrom(const std::optional<std::string>& value);

// The mode. Rendering always ends with 0; --install / --uninstall with 1 only when the settings
// file cannot be read as a plain file or written, 0 otherwise (a refusal prints what to add).
int runStatusline(const std::vector<std::string>& args);

// --install / --uninstall of the statusLine setting. `text` is settings.json's (nullopt: no file),
// `command` ours. *out is the new file text when the file must change; *message says what
// happened, in Portuguese. Refused: the file holds another statusLine, or cannot be read as JSON.
enum class SettingsChange { Written, Unchanged, Refused };
SettingsChange installStatusLine(const std::optional<std::string>& text, const std::string& command,
                                 std::string* out, std::string* message);
SettingsChange uninstallStatusLine(const std::optional<std::string>& text, std::string* out,
                                   std::string* message);

}  // namespace statusline
