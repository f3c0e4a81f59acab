#pragma once

// Lines written to a descriptor in as few system calls as it takes, never split between calls by
// our doing and never written twice.

#include <cstddef>
#include <functional>
#include <span>
#include <string_view>

namespace outbox {

// The most lines, and the bytes beyond the first line, that one batch takes from the queue.
// IOV_MAX is 1024 on Linux and macOS.
inline constexpr size_t MAX_BATCH_LINES = 1024;
inline constexpr size_t MAX_BATCH_BYTES = 4 << 20;

// Writes `lines` to `fd` in order, the first from its byte `into` on (what an earlier write took),
// MAX_BATCH_LINES per writev at most, resuming after a short write or an interruption and waiting
// while a non-blocking `fd` is full. `whole(i)` runs, in order, as soon as line i is entirely
// written. Returns how many lines were written whole: all of them unless a write failed, in which
// case the next line may be partly written.
size_t writeLines(int fd, std::span<const std::string_view> lines, size_t into,
                  const std::function<void(size_t)>& whole);

}  // namespace outbox
