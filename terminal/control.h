#pragma once

// The control socket of an open terminal: one request per connection, a JSON object and a line
// feed each way. {"op":"read","lines":N} answers {"lines":[...]}; {"op":"type","text":T} types T
// at the prompt and answers {"ok":true,"typed_chars":n}; anything else gets {"error":...}.

#include "base/json.h"
#include "platform/unique_fd.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace terminal {

using base::Json;
class Feeder;
class Screen;

// Why `text` cannot be typed without running or garbling something (a line end, a C0 or C1
// control, U+2028/2029), or nullopt when it can.
std::optional<std::string> typingError(std::string_view text);

// The command name of the program in the foreground of terminal `master` when that is not the
// shell `shell` itself; nullopt while the shell (at its prompt, or running a builtin) is there.
std::optional<std::string> otherForeground(int master, pid_t shell);

// The answer to one request line; *typed receives the bytes to write to the terminal (a bracketed
// paste when the program has turned that mode on). Nothing is typed while `foreground` names a
// program other than the shell: it, not the prompt, would read the text.
Json answerControl(std::string_view line, const Screen& screen,
                   const std::optional<std::string>& foreground, std::string* typed);

// Gives the screen the window size of the terminal `master`.
void syncScreenSize(int master, Screen* screen);

// Serves `listener` until accept fails for good: peers of another uid are closed unread. Each
// request first lets `feeder` (may be null) bring the screen up to date. `shell` runs on the
// terminal `master`.
void serveControl(platform::UniqueFd listener, Screen* screen, int master, pid_t shell,
                  Feeder* feeder);

// Sends one request to the socket at `path`; nullopt with *err when no whole answer came within
// `limit`, connecting included.
std::optional<Json> askTerminal(const std::string& path, const Json& request,
                                std::chrono::milliseconds limit, std::string* err);

}  // namespace terminal
