#include "platform/posix.h"

#include "platform/platform.h"
#include "platform/unique_fd.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <random>
#include <signal.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

std::optional<std::string> envVar(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

std::vector<char*> cStrings(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (const auto& s : strings) {
    out.push_back(const_cast<char*>(s.c_str()));
  }
  out.push_back(nullptr);
  return out;
}

bool envFlag(const char* name) {
  auto value = envVar(name);
  return value && *value == "1";
}

namespace {

void (*gExitHandlers[8])() = {};
std::atomic<int> gExitHandlerCount{0};
std::atomic_flag gExiting = ATOMIC_FLAG_INIT;

}  // namespace

bool writeAll(int fd, const void* data, size_t len, const volatile std::sig_atomic_t* cancel) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    if (cancel != nullptr && *cancel != 0) {
      errno = EINTR;
      return false;
    }
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

bool makePipe(UniqueFd* readEnd, UniqueFd* writeEnd) {
  int fds[2];
  if (::pipe(fds) != 0) {
    return false;
  }
  readEnd->reset(fds[0]);
  writeEnd->reset(fds[1]);
  // macOS has no pipe2, so the flags follow the pipe.
  for (int fd : fds) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  return true;
}

std::string randomUUID() {
  unsigned char b[16] = {};
  if (::getentropy(b, sizeof(b)) != 0) {
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

bool signallablePid(long long pid) {
  return pid >= 2 && pid <= INT_MAX;
}

void onExit(void (*handler)()) {
  int n = gExitHandlerCount.load();
  if (n < static_cast<int>(std::size(gExitHandlers))) {
    gExitHandlers[n] = handler;
    gExitHandlerCount.store(n + 1);
  }
}

namespace {

// The first caller runs the handlers and returns; any later one waits for it to end the process.
void runExitHandlersOnce() {
  if (gExiting.test_and_set()) {
    for (;;) {
      ::pause();
    }
  }
  for (int i = gExitHandlerCount.load(); i-- > 0;) {
    gExitHandlers[i]();
  }
}

}  // namespace

void exitProcess(int status) {
  runExitHandlersOnce();
  ::_exit(status);
}

void exitBySignal(int sig) {
  runExitHandlersOnce();
  dieBySignal(sig);
}

void raiseOpenFileLimit(uint64_t wanted) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return;
  }
  rlim_t target = static_cast<rlim_t>(wanted);
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < target) {
    target = limit.rlim_max;
  }
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < target) {
    limit.rlim_cur = target;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

bool makeUnixAddress(const std::string& path, sockaddr_un* out) {
  if (path.size() + 1 > sunPathSize()) {
    return false;
  }
  std::memset(out, 0, sizeof(*out));
  out->sun_family = AF_UNIX;
  std::memcpy(out->sun_path, path.data(), path.size());
  return true;
}

std::optional<size_t> openDescriptorCount() {
  // /dev/fd lists our own descriptors on Linux and macOS alike.
  DIR* fds = ::opendir("/dev/fd");
  if (fds == nullptr) {
    return std::nullopt;
  }
  size_t count = 0;
  while (dirent* entry = ::readdir(fds)) {
    count += entry->d_name[0] != '.' ? 1 : 0;
  }
  ::closedir(fds);
  return count > 0 ? count - 1 : 0;  // the listing's own descriptor
}

void dieBySignal(int sig) {
  ::signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(sig);
  ::_exit(128 + sig);
}

UmaskScope::UmaskScope(mode_t mask) : m_old(::umask(mask)) {}

UmaskScope::~UmaskScope() {
  ::umask(m_old);
}

void serveOwnUser(const UniqueFd& listener, const std::function<void(int fd)>& serve) {
  uid_t self = ::geteuid();
  for (;;) {
    UniqueFd conn{::accept(listener.get(), nullptr, nullptr)};
    if (!conn) {
      if (errno == EINTR || errno == ECONNABORTED) {
        continue;
      }
      return;
    }
    ::fcntl(conn.get(), F_SETFD, FD_CLOEXEC);
    uid_t peer = 0;
    if (peerUid(conn.get(), &peer) && peer == self) {
      serve(conn.get());
    }
  }
}

}  // namespace platform
