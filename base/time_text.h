#pragma once

// Times in answers and documents: ISO-8601 UTC to the second, "2026-12-07T16:15:09Z".

#include <cstdint>
#include <string>
#include <string_view>

namespace base {

inline constexpr int64_t MILLIS_PER_DAY = 86400000;

// Milliseconds since the epoch as ISO-8601 UTC; empty when the time cannot be written.
std::string isoUtc(int64_t millis);

// "2025-11-24T10:15:09.123Z" (or with an offset) in milliseconds since the epoch; 0 when
// unreadable.
int64_t parseIsoMillis(std::string_view text);

// The start of the local day that holds `millis` (milliseconds since the epoch), in the same unit.
int64_t localDayStartMillis(int64_t millis);

}  // namespace base
