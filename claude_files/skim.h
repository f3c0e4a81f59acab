#pragma once

// Stepping over the long strings of a JSON line (a tool's output) without parsing them. Nothing
// here knows what a record is.

#include <cstddef>
#include <string>
#include <string_view>

namespace claude_files {

// `line` with every string longer than `longest` bytes left empty, simdjson's padding after it;
// false when a string does not end. Only the strings' insides go unparsed, not the structure.
bool withoutLongStrings(std::string_view line, size_t longest, std::string* out);

}  // namespace claude_files
