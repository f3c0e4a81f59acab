#include "platform/platform.h"
#include "platform/unique_fd.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

std::string executablePath() {
  char buf[4096] = {};
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

size_t sunPathSize() {
  return sizeof(sockaddr_un::sun_path);
}

bool peerUid(int fd, uid_t* uid) {
  ucred cred{};
  socklen_t len = sizeof(cred);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    return false;
  }
  *uid = cred.uid;
  return true;
}

bool peerPid(int fd, pid_t* pid) {
  ucred cred{};
  socklen_t len = sizeof(cred);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.pid <= 0) {
    return false;
  }
  *pid = cred.pid;
  return true;
}

ssize_t sendNoSigpipe(int fd, const void* data, size_t len) {
  return ::send(fd, data, len, MSG_NOSIGNAL);
}

pid_t forkPtyKeepingSlave(int* master, int* slave, const termios* term, const winsize* size) {
  *slave = -1;
  return ::forkpty(master, nullptr, term, size);
}

namespace {

// Boot time in seconds, from the "btime" line of /proc/stat.
std::optional<int64_t> bootTime() {
  FILE* stat = std::fopen("/proc/stat", "r");
  if (stat == nullptr) {
    return std::nullopt;
  }
  char line[256];
  std::optional<int64_t> result;
  while (std::fgets(line, sizeof(line), stat) != nullptr) {
    if (std::strncmp(line, "btime ", 6) == 0) {
      result = std::strtoll(line + 6, nullptr, 10);
      break;
    }
  }
  std::fclose(stat);
  return result;
}

}  // namespace

bool processIdentity(pid_t pid, ProcessIdentity* out) {
  *out = ProcessIdentity{};
  std::string dir = "/proc/" + std::to_string(pid);
  FILE* stat = std::fopen((dir + "/stat").c_str(), "r");
  if (stat == nullptr) {
    return false;
  }
  char buf[1024] = {};
  size_t n = std::fread(buf, 1, sizeof(buf) - 1, stat);
  std::fclose(stat);
  // The command name may hold spaces and parentheses: fields count from the last ')'.
  const char* close = nullptr;
  for (size_t i = 0; i < n; ++i) {
    if (buf[i] == ')') {
      close = buf + i;
    }
  }
  if (close == nullptr) {
    return false;
  }
  const char* p = close + 1;
  char state = 0;
  int ppid = 0;
  if (std::sscanf(p, " %c %d", &state, &ppid) == 2) {
    out->parent = ppid;
  }
  for (int field = 3; field < 22 && *p != '\0'; ++field) {
    p = std::strchr(p + 1, ' ');
    if (p == nullptr) {
      return false;
    }
  }
  char* end = nullptr;
  unsigned long long ticks = std::strtoull(p, &end, 10);
  if (end != p) {
    out->startTicks = ticks;
    long hz = ::sysconf(_SC_CLK_TCK);
    if (auto boot = bootTime(); boot && hz > 0) {
      out->startedAtMillis = *boot * 1000 + static_cast<int64_t>(ticks * 1000 / hz);
    }
  }
  char exe[4096] = {};
  ssize_t len = ::readlink((dir + "/exe").c_str(), exe, sizeof(exe) - 1);
  if (len > 0) {
    out->executable.assign(exe, static_cast<size_t>(len));
    const std::string deleted = " (deleted)";
    if (out->executable.size() > deleted.size() &&
        out->executable.compare(out->executable.size() - deleted.size(), deleted.size(), deleted) ==
            0) {
      out->executable.resize(out->executable.size() - deleted.size());
    }
  }
  return true;
}

pid_t foregroundGroup(int master, pid_t) {
  pid_t group = ::tcgetpgrp(master);
  return group > 0 ? group : -1;
}

std::string processName(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/comm";
  UniqueFd fd{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  if (!fd) {
    return "";
  }
  char buf[64];
  ssize_t n = ::read(fd.get(), buf, sizeof(buf));
  std::string name(buf, n > 0 ? static_cast<size_t>(n) : 0);
  while (!name.empty() && name.back() == '\n') {
    name.pop_back();
  }
  return name;
}

ssize_t writeWithoutWaiting(int fd, const void* data, size_t len) {
  iovec one{const_cast<void*>(data), len};
  return ::pwritev2(fd, &one, 1, -1, RWF_NOWAIT);
}

int64_t modifiedNanos(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

void releaseFreeMemory() {
  ::malloc_trim(0);
}

}  // namespace platform
