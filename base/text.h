#pragma once

// Small text helpers over UTF-8 strings, counted in characters (code points), never bytes.

#include <cstddef>
#include <string>
#include <string_view>

namespace base {

// Code points in `text`: every byte that does not continue a sequence.
size_t charCount(std::string_view text);

// The first `max` characters of `text`, then `mark` when something was cut; never cuts a
// character in two.
std::string cutChars(std::string_view text, size_t max, std::string_view mark = {});

// A-Z as a-z; every other byte, UTF-8 included, unchanged.
char asciiLower(char c);
std::string asciiLower(std::string_view text);

}  // namespace base
