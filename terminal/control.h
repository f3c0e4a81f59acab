#pragma once

// The control socket of an open terminal: one request per connection, a JSON object and a line
// feed each way. {"op":"read","lines":N} answers {"lines":[...]}; {"op":"type","text":T} types T
// at the prompt and answers {"ok":true,"typed_chars":n}; anything else gets {"error":...}.

#include "base/json.h"
#include "platform/unique_fd.h"

#include <optional>
#include <string>
#include <string_view>

namespace terminal {

using base::Json;
class Feeder;
class Screen;

// Why `text` cannot be typed without running or garbling something, or nullopt when it can.
std::optional<std::string> typingError(std::string_view text);

// The answer to one request line; *typed receives the bytes to write to the terminal (a bracketed
// paste when the program has turned that mode on).
Json answerControl(std::string_view line, const Screen& screen, std::string* typed);

// Gives the screen the window size of the terminal `master`.
void syncScreenSize(int master, Screen* screen);

// Serves `listener` until accept fails for good: peers of another uid are closed unread. Each
// request first lets `feeder` (may be null) bring the screen up to date.
void serveControl(platform::UniqueFd listener, Screen* screen, int master, Feeder* feeder);

// Sends one request to the socket at `path`; nullopt with *err when nobody answers in time.
std::optional<Json> askTerminal(const std::string& path, const Json& request, std::string* err);

}  // namespace terminal
