#pragma once

// Reading a long Markdown text a window at a time, in characters (Unicode code points), never
// bytes: the offsets a client sends back come from earlier answers. Pure: the text must be valid
// UTF-8 (documents are sanitised when read).

#include "base/json.h"
#include "base/text.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace base {

inline constexpr int64_t DEFAULT_LIMIT = 4000;
inline constexpr int64_t MAX_LIMIT = 100000;
inline constexpr size_t FIND_WINDOW = 600;
inline constexpr size_t PREVIEW_CHARS = 160;

// Characters [from, from + count) of `text`, clamped to its ends.
std::string charSlice(std::string_view text, size_t from, size_t count);

struct Page {
  std::string text;
  size_t offset = 0;
  std::optional<size_t> nextOffset;  // none once the end is in this page
  size_t totalChars = 0;
};

Page pageOf(std::string_view text, size_t offset, size_t limit);

struct Found {
  size_t match = 0;    // 1-based number of the match shown; 0 when none lies at or after offset
  size_t matches = 0;  // all matches in the text
  std::string text;    // FIND_WINDOW characters around the match
  size_t offset = 0;   // where the match starts
  std::optional<size_t> nextOffset;  // where the next match starts
};

// The first match of `needle` (ASCII letters compared without case) starting at or after
// `offset`. `needle` must not be empty.
Found findFrom(std::string_view text, std::string_view needle, size_t offset);

// Request arguments as the tools announce them: a string that is present and not empty; an
// integer offset (absent, negative or not a number is 0) and a limit (default, cut to the max).
std::optional<std::string> textArg(const Json& request, const char* key);
size_t offsetArg(const Json& request);
size_t limitArg(const Json& request);
bool hasArg(const Json& request, const char* key);

}  // namespace base
