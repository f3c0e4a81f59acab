#include "client/http.h"

#include "platform/platform.h"
#include "platform/posix.h"
#include "platform/unique_fd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace client {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t MAX_REPLY = 64 * 1024;
constexpr std::chrono::seconds SLOW_AFTER{1};

bool fail(std::string* err, const std::string& what, int e) {
  *err = what + ": " + std::strerror(e);
  return false;
}

// Waits for `events` on `fd` until `deadline`; false with errno ETIMEDOUT when time runs out.
bool waitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      errno = ETIMEDOUT;
      return false;
    }
    pollfd pfd{fd, events, 0};
    int n = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (n > 0) {
      return true;
    }
    if (n < 0 && errno != EINTR) {
      return false;
    }
  }
}

}  // namespace

bool exchange(uint16_t port, std::string_view request, std::chrono::milliseconds limit,
              std::string* reply, std::string* err, const std::function<void()>& slow) {
  auto deadline = Clock::now() + limit;
  std::string where = "127.0.0.1:" + std::to_string(port);
  platform::UniqueFd sock{::socket(AF_INET, SOCK_STREAM, 0)};
  if (!sock) {
    return fail(err, "socket", errno);
  }
  ::fcntl(sock.get(), F_SETFD, FD_CLOEXEC);
  ::fcntl(sock.get(), F_SETFL, ::fcntl(sock.get(), F_GETFL) | O_NONBLOCK);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    if (errno != EINPROGRESS || !waitFor(sock.get(), POLLOUT, deadline)) {
      return fail(err, "connect " + where, errno);
    }
    int soError = 0;
    socklen_t len = sizeof(soError);
    ::getsockopt(sock.get(), SOL_SOCKET, SO_ERROR, &soError, &len);
    if (soError != 0) {
      return fail(err, "connect " + where, soError);
    }
  }
  while (!request.empty()) {
    ssize_t n = platform::sendNoSigpipe(sock.get(), request.data(), request.size());
    if (n > 0) {
      request.remove_prefix(static_cast<size_t>(n));
    } else if (n < 0 && errno != EINTR &&
               (errno != EAGAIN || !waitFor(sock.get(), POLLOUT, deadline))) {
      return fail(err, "send " + where, errno);
    }
  }
  reply->clear();
  if (slow && !waitFor(sock.get(), POLLIN, std::min(deadline, Clock::now() + SLOW_AFTER))) {
    slow();
  }
  char buf[8192];
  while (reply->size() < MAX_REPLY) {
    if (!waitFor(sock.get(), POLLIN, deadline)) {
      return fail(err, "recv " + where, errno);
    }
    ssize_t n = ::read(sock.get(), buf, sizeof(buf));
    if (n == 0) {
      return true;
    }
    if (n < 0 && errno != EINTR && errno != EAGAIN) {
      return fail(err, "recv " + where, errno);
    }
    reply->append(buf, n > 0 ? static_cast<size_t>(n) : 0);
  }
  return true;
}

bool writeToSocket(const std::string& path, std::string_view bytes, std::string* err) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    return fail(err, "lstat " + path, errno);
  }
  if (!S_ISSOCK(st.st_mode)) {
    return fail(err, "lstat " + path, ENOTSOCK);
  }
  sockaddr_un addr{};
  if (!platform::makeUnixAddress(path, &addr)) {
    return fail(err, "connect " + path, ENAMETOOLONG);
  }
  platform::UniqueFd sock{::socket(AF_UNIX, SOCK_STREAM, 0)};
  if (!sock) {
    return fail(err, "socket", errno);
  }
  ::fcntl(sock.get(), F_SETFD, FD_CLOEXEC);
  if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    return fail(err, "connect " + path, errno);
  }
  uid_t peer = 0;
  if (!platform::peerUid(sock.get(), &peer) || peer != ::geteuid()) {
    return fail(err, "connect " + path, EPERM);
  }
  while (!bytes.empty()) {
    ssize_t n = platform::sendNoSigpipe(sock.get(), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return fail(err, "send " + path, errno);
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace client
