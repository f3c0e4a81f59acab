#pragma once

// One sweep keeps the time for every connection, instead of a timer each: arming and cancelling
// one per request cost system calls and thread wake-ups.

#include <chrono>

namespace channel {

// How late a deadline may be noticed.
inline constexpr std::chrono::milliseconds SWEEP_EVERY{100};

// Makes sure the sweep runs: every SWEEP_EVERY it expires the registered connections past their
// deadline, and it stops once none is registered. Call after setting a deadline.
void sweepSoon();

}  // namespace channel
