#pragma once

// The JSON kit every module shares: one alias, and parse and serialise bounded in depth.

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace base {

using Json = nlohmann::ordered_json;

// Deeper JSON is refused both ways: the library copies and serialises nested values recursively.
inline constexpr size_t MAX_DEPTH = 512;

// Parses `text`; the result is discarded when the text is not JSON or nests deeper than MAX_DEPTH.
Json parseJson(std::string_view text);

// Compact serialisation; nullopt when the value cannot be written (invalid UTF-8 in a string, or
// nesting too deep to serialise safely).
std::optional<std::string> serialize(const Json& value);

// The member `key` of an object when it is a string; nullopt when absent or of another type.
std::optional<std::string> stringArg(const Json& object, const char* key);

// An integral JSON number (3.0 counts) that fits a long long; nullopt for anything else.
std::optional<long long> wholeNumber(const Json& value);

}  // namespace base
