#pragma once

// Text helpers that do not depend on anything of ours: UTF-8 checks and white-space trimming.

#include <string>
#include <string_view>

namespace platform {

bool isValidUtf8(std::string_view bytes);

// Every maximal ill-formed subsequence becomes one U+FFFD, as a lenient decoder does.
std::string sanitizeUtf8(std::string_view bytes);

// Trims Unicode white space and line ends (the White_Space property) from both ends.
// The input must be valid UTF-8.
std::string_view trimUnicodeSpace(std::string_view text);

// Trims horizontal white space: tab and the space separators (Zs).
std::string_view trimHorizontalSpace(std::string_view text);

// Last component of a path; trailing slashes are ignored, "/" stays "/", "" stays "".
std::string lastPathComponent(std::string_view path);

// An optional single sign, then one or more ASCII digits and nothing else, within int64.
bool parseDecimal(std::string_view text, long long* out);

}  // namespace platform
