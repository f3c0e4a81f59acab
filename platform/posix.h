#pragma once

// Small POSIX helpers shared by every mode.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

struct sockaddr_un;

namespace platform {

// Writes all of `len` bytes, retrying short writes, EINTR and EAGAIN (by waiting until the fd is
// writable). False on any other error; errno is kept.
bool writeAll(int fd, const void* data, size_t len);

// A random version 4 UUID, upper-case canonical text (8-4-4-4-12).
std::string randomUUID();

// Seconds since the epoch, fraction cut off.
int64_t nowSeconds();

// kill(pid, 0) succeeds. Values outside pid_t's range, and pids below 1, are never probed.
bool processAlive(long long pid);

// `pid` fits pid_t and is at least 2: safe to signal.
bool signallablePid(long long pid);

// Zero-fills *out and copies `path` in; false when the path does not fit sun_path with its NUL.
bool makeUnixAddress(const std::string& path, sockaddr_un* out);

}  // namespace platform
