#pragma once

// The seam between macOS and Linux. Nothing outside platform_*.cpp needs to know which one runs.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

struct stat;
struct termios;
struct winsize;

namespace platform {

// Path of the running executable as the OS reports it (links not resolved); empty on failure.
std::string executablePath();

// Bytes usable in sockaddr_un::sun_path, the terminating NUL included (108 on Linux, 104 on macOS).
size_t sunPathSize();

// The uid of the process at the other end of a connected Unix-domain socket.
bool peerUid(int fd, uid_t* uid);

// The pid of the process at the other end of a connected Unix-domain socket (for a client: the one
// that made the listener).
bool peerPid(int fd, pid_t* pid);

// send(2) on a socket without raising SIGPIPE when the peer has gone.
ssize_t sendNoSigpipe(int fd, const void* data, size_t len);

// write(2) of what `fd` takes at once, never waiting, whatever its blocking mode: the bytes
// written, or -1 with errno EAGAIN when it would have to wait, or another errno (ENOTSUP where the
// descriptor or the OS cannot write without waiting: terminals, most files, macOS).
ssize_t writeWithoutWaiting(int fd, const void* data, size_t len);

// forkpty(3) (`term` and `size` may be null); in the parent *slave is a close-on-exec descriptor of
// the slave side, or -1 where none is needed. macOS discards unread output once the last slave
// descriptor closes, so there the caller keeps *slave open until the child is reaped; Linux keeps
// it and reports EIO on the master.
pid_t forkPtyKeepingSlave(int* master, int* slave, const termios* term, const winsize* size);

// What identifies one run of a process, so that a reused pid is never taken for the process that
// wrote a record. A field the OS does not give stays empty.
struct ProcessIdentity {
  std::optional<uint64_t> startTicks;      // Linux: field 22 of /proc/<pid>/stat
  std::optional<int64_t> startedAtMillis;  // wall-clock start time
  std::string executable;                  // path of its executable, links resolved
  pid_t parent = 0;                        // 0 when unknown
};

// False when the process is gone or cannot be looked at.
bool processIdentity(pid_t pid, ProcessIdentity* out);

// The foreground process group of the terminal whose master side is `master` and on which
// `shell` (a session leader) runs; -1 when it cannot be told. Linux asks the master; macOS, where
// only the terminal's own session may ask it, reads the shell's process information.
pid_t foregroundGroup(int master, pid_t shell);

// The command name of process `pid` (Linux: /proc/<pid>/comm; macOS: proc_name), "" when it is
// gone or cannot be looked at.
std::string processName(pid_t pid);
// A file's modification time in nanoseconds since the epoch.
int64_t modifiedNanos(const struct stat& st);

// Gives memory the allocator holds free back to the system, so a burst does not keep the
// process large after it ends.
void releaseFreeMemory();

}  // namespace platform
