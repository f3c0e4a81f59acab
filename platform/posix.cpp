#include "platform/posix.h"

#include "platform/platform.h"
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <random>

namespace platform {

bool writeAll(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = ::write(fd, p, len);
    if (n > 0) {
      p += n;
      len -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd pfd{fd, POLLOUT, 0};
      ::poll(&pfd, 1, 1000);
      continue;
    }
    return false;
  }
  return true;
}

std::string randomUUID() {
  unsigned char b[16] = {};
  bool filled = false;
  UniqueFd fd{::open("/dev/urandom", O_RDONLY | O_CLOEXEC)};
  if (fd) {
    filled = ::read(fd.get(), b, sizeof(b)) == static_cast<ssize_t>(sizeof(b));
  }
  if (!filled) {
    std::random_device rd;
    for (auto& byte : b) {
      byte = static_cast<unsigned char>(rd());
    }
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) {
      out += '-';
    }
    out += hex[b[i] >> 4];
    out += hex[b[i] & 0x0F];
  }
  return out;
}

int64_t nowSeconds() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

bool processAlive(long long pid) {
  if (pid < 1 || pid > INT_MAX) {
    return false;
  }
  return ::kill(static_cast<pid_t>(pid), 0) == 0;
}

bool signallablePid(long long pid) { return pid >= 2 && pid <= INT_MAX; }

bool makeUnixAddress(const std::string& path, sockaddr_un* out) {
  if (path.size() + 1 > sunPathSize()) {
    return false;
  }
  std::memset(out, 0, sizeof(*out));
  out->sun_family = AF_UNIX;
  std::memcpy(out->sun_path, path.data(), path.size());
  return true;
}

}  // namespace platform
