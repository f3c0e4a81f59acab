#include "testkit/net.h"

#include "platform/platform.h"
#include "platform/posix.h"

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testkit {

UniqueFd connectTcp(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int attempt = 0; attempt < 200; ++attempt) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    if (!fd) {
      return fd;
    }
    int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
      return fd;
    }
    // Every local port busy in TIME_WAIT: wait for some to free up, a bounded number of times.
    if (errno != EADDRNOTAVAIL && errno != EINTR) {
      return UniqueFd();
    }
    std::this_thread::sleep_for(5ms);
  }
  return UniqueFd();
}

UniqueFd connectUnix(const std::string& path) {
  sockaddr_un addr{};
  if (!platform::makeUnixAddress(path, &addr)) {
    return UniqueFd();
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (fd && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    fd.reset();
  }
  return fd;
}

UniqueFd listenUnix(const std::string& path) {
  sockaddr_un addr{};
  if (!platform::makeUnixAddress(path, &addr)) {
    return UniqueFd();
  }
  ::unlink(path.c_str());
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (fd && (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
             ::listen(fd.get(), 64) != 0)) {
    fd.reset();
  }
  return fd;
}

bool sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = platform::sendNoSigpipe(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool recvAll(int fd, std::string* into, Clock::time_point deadline) {
  char chunk[16384];
  for (;;) {
    if (!readable(fd, deadline)) {
      return false;
    }
    ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return n == 0;
    }
    into->append(chunk, static_cast<size_t>(n));
  }
}

void resetClose(UniqueFd fd) {
  linger hard{1, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
}

std::string readRequestLine(int fd, Clock::time_point deadline) {
  std::string line;
  char chunk[16384];
  while (line.find('\n') == std::string::npos) {
    if (!readable(fd, deadline)) {
      break;
    }
    ssize_t n = ::read(fd, chunk, sizeof(chunk));
    if (n <= 0) {
      break;
    }
    line.append(chunk, static_cast<size_t>(n));
  }
  return line.substr(0, line.find('\n'));
}

std::string request(int id, const std::string& method, const std::string& params) {
  std::string line =
      "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) + ",\"method\":\"" + method + "\"";
  return line + (params.empty() ? "" : ",\"params\":" + params) + "}\n";
}

StandinApp::StandinApp(std::string path, Handler handle)
    : m_path(std::move(path)), m_handle(std::move(handle)) {
  // The server may give up on an answer and leave: that must not end us with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  m_listen = listenUnix(m_path);
  if (m_listen) {
    m_thread = std::thread([this] { serve(); });
  }
}

StandinApp::~StandinApp() {
  m_stop = true;
  if (m_thread.joinable()) {
    m_thread.join();
  }
  ::unlink(m_path.c_str());
}

void StandinApp::serve() {
  while (!m_stop) {
    pollfd pfd{m_listen.get(), POLLIN, 0};
    if (::poll(&pfd, 1, 50) <= 0) {
      continue;
    }
    UniqueFd conn(::accept(m_listen.get(), nullptr, nullptr));
    if (conn) {
      m_handle(conn.get());
    }
  }
}

}  // namespace testkit
