// bench-child: the trivial program the channel's rows are held against. Listens on
// 127.0.0.1, prints the port, and per connection sends back what it read, shuts its side and waits
// for the client's end; exits when standard input closes.

#include "platform/posix.h"

#include <cerrno>
#include <cstdio>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

void serveEcho(int listener) {
  char buf[65536];
  for (;;) {
    int conn = ::accept(listener, nullptr, nullptr);
    if (conn < 0) {
      if (errno == EINTR || errno == ECONNABORTED) {
        continue;
      }
      return;
    }
    ssize_t n = ::read(conn, buf, sizeof(buf));
    if (n > 0 && platform::writeAll(conn, buf, static_cast<size_t>(n))) {
      ::shutdown(conn, SHUT_WR);
      while (::read(conn, buf, sizeof(buf)) > 0) {
      }
    }
    ::close(conn);
  }
}

}  // namespace

int main() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::listen(fd, 1024) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::perror("tcp-echo");
    return 1;
  }
  std::string port = std::to_string(ntohs(addr.sin_port)) + "\n";
  platform::writeAll(1, port.data(), port.size());
  // As many acceptors as the server has workers at least, on a two-core machine.
  for (int i = 0; i < 2; ++i) {
    std::thread(serveEcho, fd).detach();
  }
  char b;
  while (::read(0, &b, 1) > 0) {
  }
  return 0;
}
