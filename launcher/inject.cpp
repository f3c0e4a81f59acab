#include "launcher/inject.h"

#include "launcher/pty_relay.h"
#include "platform/platform.h"
#include "platform/posix.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace launcher {
namespace {

constexpr size_t INJECT_CHUNK = 4096;

void forward(int conn) {
  char buf[INJECT_CHUNK];
  for (;;) {
    ssize_t n = ::read(conn, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0 || !platform::writeAll(gMaster.load(), buf, static_cast<size_t>(n))) {
      return;
    }
  }
}

}  // namespace

bool openInject(const std::string& path, platform::UniqueFd* listener) {
  sockaddr_un addr{};
  if (!platform::makeUnixAddress(path, &addr)) {
    return false;
  }
  platform::UniqueFd sock{::socket(AF_UNIX, SOCK_STREAM, 0)};
  if (!sock) {
    return false;
  }
  ::fcntl(sock.get(), F_SETFD, FD_CLOEXEC);
  {
    platform::UmaskScope mask(077);
    if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
      return false;
    }
  }
  if (::chmod(path.c_str(), 0600) != 0 || ::listen(sock.get(), 4) != 0) {
    ::unlink(path.c_str());
    return false;
  }
  *listener = std::move(sock);
  return true;
}

void serveInject(platform::UniqueFd listener) {
  platform::serveOwnUser(listener, forward);
}

}  // namespace launcher
