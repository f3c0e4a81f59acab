#include "tests/support/standin_app.h"

#include "platform/posix.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>

namespace cstest {

StandinApp::StandinApp(std::string socketPath) : m_path(std::move(socketPath)) {
  // A client that stops reading must not kill the test with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  ::unlink(m_path.c_str());
  sockaddr_un addr{};
  if (!platform::makeUnixAddress(m_path, &addr) || ::pipe(m_stopPipe) != 0) {
    return;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 16) != 0) {
    ::close(fd);
    return;
  }
  m_listenFd = fd;
  m_thread = std::thread([this] { serve(); });
}

StandinApp::~StandinApp() {
  if (m_thread.joinable()) {
    char b = 0;
    (void)!::write(m_stopPipe[1], &b, 1);
    m_thread.join();
  }
  for (int fd : {m_listenFd, m_stopPipe[0], m_stopPipe[1]}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
  ::unlink(m_path.c_str());
}

void StandinApp::answer(std::vector<std::string> pieces, int pieceDelayMs) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_mode = Mode::Answer;
  m_pieces = std::move(pieces);
  m_delayMs = pieceDelayMs;
}

void StandinApp::setMode(Mode mode) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_mode = mode;
}

std::vector<std::string> StandinApp::requests() {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_requests;
}

void StandinApp::serve() {
  for (;;) {
    pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 || fds[1].revents != 0) {
      return;
    }
    int conn = ::accept(m_listenFd, nullptr, nullptr);
    if (conn >= 0) {
      handle(conn);
      ::close(conn);
    }
  }
}

void StandinApp::handle(int fd) {
  std::string line;
  char buf[65536];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, 100) <= 0) {
      continue;
    }
    ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n <= 0) {
      break;
    }
    line.append(buf, static_cast<size_t>(n));
  }
  Mode mode;
  std::vector<std::string> pieces;
  int delay;
  {
    std::lock_guard<std::mutex> hold(m_mutex);
    m_requests.push_back(line.substr(0, line.find('\n')));
    mode = m_mode;
    pieces = m_pieces;
    delay = m_delayMs;
  }
  if (mode == Mode::CloseAtOnce) {
    return;
  }
  if (mode == Mode::NeverAnswer) {
    pollfd pfd{m_stopPipe[0], POLLIN, 0};
    ::poll(&pfd, 1, 60000);
    return;
  }
  for (const auto& piece : pieces) {
    if (delay > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    }
    if (!platform::writeAll(fd, piece.data(), piece.size())) {
      return;
    }
  }
}

}  // namespace cstest
