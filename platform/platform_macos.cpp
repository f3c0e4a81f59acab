#include "platform/platform.h"

#include <mach-o/dyld.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <util.h>

#include <cstdint>

namespace platform {

std::string executablePath() {
  char buf[4096] = {};
  uint32_t size = sizeof(buf) - 1;
  if (_NSGetExecutablePath(buf, &size) != 0) {
    return {};
  }
  return std::string(buf);
}

size_t sunPathSize() { return sizeof(sockaddr_un::sun_path); }

bool peerUid(int fd, uid_t* uid) {
  gid_t gid = 0;
  return ::getpeereid(fd, uid, &gid) == 0;
}

ssize_t sendNoSigpipe(int fd, const void* data, size_t len) {
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof(on));
  return ::send(fd, data, len, 0);
}

pid_t forkPty(int* master, const termios* term, const winsize* size) {
  // macOS declares these parameters non-const.
  return ::forkpty(master, nullptr, const_cast<termios*>(term), const_cast<winsize*>(size));
}

}  // namespace platform
