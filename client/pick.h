#pragma once

// The pure half of `push` and `type`: their arguments, which session they mean, the HTTP text they
// send and how an answer reads. Nothing here touches a socket or a file.

#include "base/json.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace client {

using base::Json;

enum class Verb { Push, Type };

struct Options {
  std::optional<std::string> to;   // --to SESSION
  bool enter = false;              // type --enter
  std::vector<std::string> words;  // TEXT..., sent joined by single spaces
};

// nullopt with *usage set (the one usage line) when `args` do not fit the verb: an unknown option,
// --to without a value, --enter given to push, type without text or with control characters
// (C0, C1, U+2028/2029, or not UTF-8) in it. "--" ends the options.
std::optional<Options> parseOptions(Verb verb, const std::vector<std::string>& args,
                                    std::string* usage);

// The records `to` names: its "name" equal to it, its "instance" starting with it (letter case
// aside), or its "cwd" equal to `toFolder` (the folder `to` names, resolved; "" for none). Without
// `to`, the records whose "cwd" is `cwd`. In their order.
std::vector<Json> chooseSessions(const std::vector<Json>& live,
                                 const std::optional<std::string>& to, const std::string& toFolder,
                                 const std::string& cwd);

// The string at `key`, or "" when it is absent or of another type.
std::string stringField(const Json& record, const char* key);

// One line for a list the user picks from: the name --to takes for it, and its folder.
std::string describe(const Json& record, const std::string& name);

// The record's "port" when it is one a listener can have.
std::optional<uint16_t> recordPort(const Json& record);

// `infoBody` (a GET /info answer) names the same "pid" and "instance" as the record.
bool sameServer(const Json& record, std::string_view infoBody);

std::string infoRequest(uint16_t port);
std::string pushRequest(uint16_t port, std::string_view token, std::string_view text);

struct Reply {
  int status = 0;
  std::string body;
  int retryAfter = 0;  // seconds of a Retry-After header, 0 without one
};

// A whole HTTP/1.x answer read until the server closed; nullopt when it is not one.
std::optional<Reply> parseReply(std::string_view text);

// The line that says why `session` did not take the text: the answer's "error" in words, the HTTP
// status only beside an error it does not know.
std::string refusalLine(const Reply& reply, const std::string& session);

inline constexpr size_t MAX_TEXT = 1 << 20;

// Why `text` is not sent at all (empty once trimmed, over MAX_TEXT); nullopt when it may go.
std::optional<std::string> textProblem(std::string_view text);

}  // namespace client
