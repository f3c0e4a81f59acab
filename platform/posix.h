#pragma once

// Small POSIX helpers shared by every mode.

#include "platform/unique_fd.h"

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

struct sockaddr_un;

namespace platform {

// The variable's value, or nullopt when it is absent (an empty value is present).
std::optional<std::string> envVar(const char* name);

// Exactly "1": anything else, absence included, is false.
bool envFlag(const char* name);

// Writes all of `len` bytes, retrying short writes, EINTR and EAGAIN (by waiting until the fd is
// writable). False on any other error; errno is kept. With `cancel`, a non-zero *cancel (set by a
// signal handler) abandons the write at the next retry with errno EINTR, so a reader that never
// reads cannot hold the caller past a termination signal.
bool writeAll(int fd, const void* data, size_t len,
              const volatile std::sig_atomic_t* cancel = nullptr);

// argv/envp for exec: pointers into `strings`, null-terminated.
std::vector<char*> cStrings(const std::vector<std::string>& strings);

// A pipe whose two ends are non-blocking and close-on-exec.
bool makePipe(UniqueFd* readEnd, UniqueFd* writeEnd);

// A random version 4 UUID, upper-case canonical text (8-4-4-4-12).
std::string randomUUID();

// Seconds since the epoch, fraction cut off.
int64_t nowSeconds();

// kill(pid, 0) succeeds. Values outside pid_t's range, and pids below 1, are never probed.
bool processAlive(long long pid);

// `pid` fits pid_t and is at least 2: safe to signal.
bool signallablePid(long long pid);

// Exit handlers that run without static destructors. exitProcess() runs the handlers given to
// onExit, newest first, then ends the process with _exit: worker threads may still be running,
// and statics destroyed under them (Asio's error categories among them) would crash them. A
// second caller waits for the first to end the process. At most 8 handlers, registered on one
// thread before any exitProcess().
void onExit(void (*handler)());
[[noreturn]] void exitProcess(int status);
// The same handlers, then dieBySignal(sig).
[[noreturn]] void exitBySignal(int sig);

// Ends the process by `sig` with its default action, as if the signal had never been caught, so
// the parent sees how it ended; 128 + sig should the signal not end it.
[[noreturn]] void dieBySignal(int sig);

// Raises the soft limit on open descriptors to `wanted`, or to the hard limit when that is lower;
// never lowers it. Failure leaves the limit as it was.
void raiseOpenFileLimit(uint64_t wanted);

// Sets the file-creation mask for a scope, so that a socket never exists with wider permissions,
// even for a moment.
class UmaskScope {
 public:
  explicit UmaskScope(mode_t mask);
  ~UmaskScope();
  UmaskScope(const UmaskScope&) = delete;
  UmaskScope& operator=(const UmaskScope&) = delete;

 private:
  mode_t m_old;
};

// Accepts on `listener` until it fails, one connection at a time, and hands `serve` only those
// whose peer is this user; the others are closed unread.
void serveOwnUser(const UniqueFd& listener, const std::function<void(int fd)>& serve);

// Descriptors this process has open now; nullopt when the system does not say.
std::optional<size_t> openDescriptorCount();

// Zero-fills *out and copies `path` in; false when the path does not fit sun_path with its NUL.
bool makeUnixAddress(const std::string& path, sockaddr_un* out);

}  // namespace platform
