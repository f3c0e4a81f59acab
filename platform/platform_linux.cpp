#include "platform/platform.h"

#include <pty.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>

namespace platform {

std::string executablePath() {
  char buf[4096] = {};
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

size_t sunPathSize() { return sizeof(sockaddr_un::sun_path); }

bool peerUid(int fd, uid_t* uid) {
  ucred cred{};
  socklen_t len = sizeof(cred);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    return false;
  }
  *uid = cred.uid;
  return true;
}

ssize_t sendNoSigpipe(int fd, const void* data, size_t len) {
  return ::send(fd, data, len, MSG_NOSIGNAL);
}

pid_t forkPty(int* master, const termios* term, const winsize* size) {
  return ::forkpty(master, nullptr, term, size);
}

}  // namespace platform
