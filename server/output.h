#pragma once

// The two writers of the server: emit() for JSON-RPC messages on standard output, logErr() for
// human-readable lines on standard error. Both may be called from any thread.

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace server {

using Json = nlohmann::ordered_json;

// Deeper JSON is refused both ways: the library copies and serialises nested values recursively.
inline constexpr size_t MAX_DEPTH = 512;

// Parses `text`; the result is discarded when the text is not JSON or nests deeper than MAX_DEPTH.
Json parseJson(std::string_view text);

// Compact serialisation; nullopt when the value cannot be written (invalid UTF-8 in a string, or
// nesting too deep to serialise safely).
std::optional<std::string> serialize(const Json& value);

// One message and one line feed, whole, under stdoutLock. A value that cannot be serialised writes
// nothing. After a failed write standard output is never written again, so no partial message can
// follow a torn one.
void emit(const Json& message);

// The text and a line feed in one unbuffered write to standard error.
void logErr(std::string_view line);

}  // namespace server
