#pragma once

// Forwards a tool call to the corvane app over ~/.corvane/sessions.sock, one request per
// connection, and returns the app's trimmed answer text. Failures come back as fixed answer texts.

#include "base/json.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace query {

using base::Json;

inline constexpr size_t MAX_ANSWER_BYTES = 16 * 1024 * 1024;
inline constexpr std::chrono::seconds APP_TIMEOUT{30};

// The app's `op` for a tool name, or nullopt for a name outside the table.
std::optional<std::string> opFor(std::string_view toolName);

// {"op":…, the accepted arguments in their fixed order, "caller_pid":…}.
Json buildRequest(const std::string& op, const Json& args, int callerPid);

// {"error":"unknown tool: <name>"} with the name JSON-escaped.
std::string unknownToolAnswer(const std::string& name);

// The answer text from the raw bytes: empty or invalid UTF-8 gives the empty-response answer;
// otherwise the text without Unicode white space at either end.
std::string answerFromBytes(std::string_view bytes);

// state::companionSocket(): ~/.corvane/sessions.sock, or its short stand-in under a long home.
std::string sessionQuerySocket();

// The whole exchange; starts the companion when nobody listens on the socket. Blocks its caller
// for at most APP_TIMEOUT (and the companion's start).
std::string callSessionTool(const std::string& name, const Json& args);

enum class Reach { Answered, Absent, Failed };

// One request to the companion within `bound`, connection included; never starts it. Absent:
// nobody listens on the socket. *answer is the trimmed answer line when Answered.
Reach askCompanion(const Json& request, std::chrono::milliseconds bound, std::string* answer);

}  // namespace query
