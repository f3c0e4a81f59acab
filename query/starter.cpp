#include "query/starter.h"

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/posix.h"
#include "platform/unique_fd.h"
#include "state/state.h"

#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace query {
namespace {

constexpr int CLOSE_FDS_UP_TO = 1024;

// The grandchild: a new session, clean signals, only stdio open, then exec. Never returns.
[[noreturn]] void execCompanion(const std::string& binary, int logFd) {
  ::setsid();
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) {
    ::signal(sig, SIG_DFL);
  }
  int nul = ::open("/dev/null", O_RDWR);
  ::dup2(nul, 0);
  ::dup2(logFd >= 0 ? logFd : nul, 1);
  ::dup2(logFd >= 0 ? logFd : nul, 2);
  for (int fd = 3; fd < CLOSE_FDS_UP_TO; ++fd) {
    ::close(fd);
  }
  ::execl(binary.c_str(), binary.c_str(), "app", static_cast<char*>(nullptr));
  ::_exit(127);
}

}  // namespace

Probe probeSocket(const std::string& path) {
  sockaddr_un addr{};
  if (!platform::makeUnixAddress(path, &addr)) {
    return Probe::Other;
  }
  platform::UniqueFd sock{::socket(AF_UNIX, SOCK_STREAM, 0)};
  if (!sock) {
    return Probe::Other;
  }
  ::fcntl(sock.get(), F_SETFD, FD_CLOEXEC);
  ::fcntl(sock.get(), F_SETFL, ::fcntl(sock.get(), F_GETFL) | O_NONBLOCK);
  int rc;
  do {
    rc = ::connect(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
  } while (rc != 0 && errno == EINTR);
  if (rc == 0 || errno == EAGAIN || errno == EINPROGRESS) {
    return Probe::Live;
  }
  return errno == ENOENT || errno == ECONNREFUSED ? Probe::Absent : Probe::Other;
}

bool startCompanion(std::chrono::milliseconds wait) {
  std::string path = state::companionSocket();
  Probe first = probeSocket(path);
  if (first != Probe::Absent) {
    return first == Probe::Live;
  }
  std::string binary = platform::resolvePath(platform::executablePath());
  if (binary.empty() || platform::homeDir().empty()) {
    return false;
  }
  platform::UniqueFd log = state::openLog();
  pid_t child = ::fork();
  if (child < 0) {
    return false;
  }
  if (child == 0) {
    // A second fork leaves the companion to init, so the caller never has a zombie to reap.
    if (::fork() == 0) {
      execCompanion(binary, log.get());
    }
    ::_exit(0);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  auto deadline = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < deadline) {
    if (probeSocket(path) == Probe::Live) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return probeSocket(path) == Probe::Live;
}

}  // namespace query
