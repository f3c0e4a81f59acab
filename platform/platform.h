#pragma once

// The seam between macOS and Linux. Nothing outside platform_*.cpp needs to know which one runs.

#include <sys/types.h>

#include <cstddef>
#include <string>

struct termios;
struct winsize;

namespace platform {

// Path of the running executable as the OS reports it (links not resolved); empty on failure.
std::string executablePath();

// Bytes usable in sockaddr_un::sun_path, the terminating NUL included (108 on Linux, 104 on macOS).
size_t sunPathSize();

// The uid of the process at the other end of a connected Unix-domain socket.
bool peerUid(int fd, uid_t* uid);

// send(2) on a socket without raising SIGPIPE when the peer has gone.
ssize_t sendNoSigpipe(int fd, const void* data, size_t len);

// forkpty(3); `term` and `size` may be null.
pid_t forkPty(int* master, const termios* term, const winsize* size);

}  // namespace platform
