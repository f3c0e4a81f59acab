// bench-child: the trivial programs the bench holds the real ones against.
//   bytes N    writes N bytes of 80-byte text lines to standard output, then exits
//   echo       raw terminal; prints READY, then copies input to output until Ctrl-]
//   idle       raw terminal; reads input until Ctrl-], printing nothing
//   tcp-echo   listens on 127.0.0.1, prints the port, and per connection sends back what it
//              read, shuts its side and waits for the client's end; exits when stdin closes

#include "platform/posix.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr char QUIT = 0x1d;  // Ctrl-]

int bytes(long long total) {
  std::vector<char> block(65536);
  for (size_t i = 0; i < block.size(); ++i) {
    block[i] = i % 80 == 79 ? '\n' : static_cast<char>('a' + i % 26);
  }
  while (total > 0) {
    size_t n =
        total < static_cast<long long>(block.size()) ? static_cast<size_t>(total) : block.size();
    if (!platform::writeAll(1, block.data(), n)) {
      return 1;
    }
    total -= static_cast<long long>(n);
  }
  return 0;
}

void makeRaw() {
  termios t{};
  if (::tcgetattr(0, &t) == 0) {
    ::cfmakeraw(&t);
    ::tcsetattr(0, TCSANOW, &t);
  }
}

int relay(bool echo) {
  makeRaw();
  if (echo && !platform::writeAll(1, "READY", 5)) {
    return 1;
  }
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(0, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return 0;
    }
    auto len = static_cast<size_t>(n);
    const char* quit = static_cast<const char*>(std::memchr(buf, QUIT, len));
    if (echo &&
        !platform::writeAll(1, buf, quit != nullptr ? static_cast<size_t>(quit - buf) : len)) {
      return 1;
    }
    if (quit != nullptr) {
      return 0;
    }
  }
}

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

int tcpEcho() {
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

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "bytes" && argc > 2) {
    return bytes(std::atoll(argv[2]));
  }
  if (mode == "echo" || mode == "idle") {
    return relay(mode == "echo");
  }
  if (mode == "tcp-echo") {
    return tcpEcho();
  }
  std::fprintf(stderr, "usage: bench-child bytes N | echo | idle | tcp-echo\n");
  return 2;
}
