#include "platform/platform.h"

#include <dirent.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

namespace platform {

std::string executablePath() {
  char buf[4096] = {};
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

size_t sunPathSize() { return sizeof(sockaddr_un::sun_path); }

bool peerUid(int fd, uid_t* uid) {
  ucred cred{};
  socklen_t len = sizeof(cred);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    return false;
  }
  *uid = cred.uid;
  return true;
}

ssize_t sendNoSigpipe(int fd, const void* data, size_t len) {
  return ::send(fd, data, len, MSG_NOSIGNAL);
}

pid_t forkPty(int* master, const termios* term, const winsize* size) {
  return ::forkpty(master, nullptr, term, size);
}

pid_t forkPtyKeepingSlave(int* master, int* slave, const termios* term, const winsize* size) {
  *slave = -1;
  return ::forkpty(master, nullptr, term, size);
}

bool processStats(pid_t pid, ProcessStats* out) {
  *out = ProcessStats{};
  std::string dir = "/proc/" + std::to_string(pid);
  clockid_t clock{};
  timespec ts{};
  if (::clock_getcpuclockid(pid, &clock) == 0 && ::clock_gettime(clock, &ts) == 0) {
    out->cpuNanos = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
  }
  if (FILE* statm = std::fopen((dir + "/statm").c_str(), "r")) {
    long long size = 0;
    long long resident = 0;
    if (std::fscanf(statm, "%lld %lld", &size, &resident) == 2) {
      out->residentBytes = resident * ::sysconf(_SC_PAGESIZE);
    }
    std::fclose(statm);
  }
  if (DIR* fds = ::opendir((dir + "/fd").c_str())) {
    int64_t count = 0;
    while (dirent* entry = ::readdir(fds)) {
      count += entry->d_name[0] != '.' ? 1 : 0;
    }
    ::closedir(fds);
    // The listing's own descriptor shows only when the process looks at itself.
    out->openFds = pid == ::getpid() ? count - 1 : count;
  }
  return out->cpuNanos >= 0 || out->residentBytes >= 0 || out->openFds >= 0;
}

uint64_t maxRssBytes(const rusage& usage) {
  return static_cast<uint64_t>(usage.ru_maxrss) * 1024;
}

}  // namespace platform
