#pragma once

// Human-readable lines go to standard error; any thread may write them.

#include <string_view>

namespace base {

// The text and a line feed in one unbuffered write to standard error.
void logErr(std::string_view line);

}  // namespace base
