#pragma once

// Times in answers and documents: ISO-8601 UTC to the second, "2026-12-07T16:15:09Z".

#include <cstdint>
#include <string>

namespace base {

// Milliseconds since the epoch as ISO-8601 UTC; empty when the time cannot be written.
std::string isoUtc(int64_t millis);

}  // namespace base
