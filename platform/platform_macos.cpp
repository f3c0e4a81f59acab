#include "platform/platform.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <libproc.h>
#include <mach-o/dyld.h>
#include <malloc/malloc.h>
#include <sys/param.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <util.h>

namespace platform {

std::string executablePath() {
  char buf[4096] = {};
  uint32_t size = sizeof(buf) - 1;
  if (_NSGetExecutablePath(buf, &size) != 0) {
    return {};
  }
  return std::string(buf);
}

size_t sunPathSize() {
  return sizeof(sockaddr_un::sun_path);
}

bool peerUid(int fd, uid_t* uid) {
  gid_t gid = 0;
  return ::getpeereid(fd, uid, &gid) == 0;
}

bool peerPid(int fd, pid_t* pid) {
  pid_t peer = 0;
  socklen_t len = sizeof(peer);
  if (::getsockopt(fd, SOL_LOCAL, LOCAL_PEERPID, &peer, &len) != 0 || peer <= 0) {
    return false;
  }
  *pid = peer;
  return true;
}

ssize_t sendNoSigpipe(int fd, const void* data, size_t len) {
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof(on));
  return ::send(fd, data, len, 0);
}

pid_t forkPtyKeepingSlave(int* master, int* slave, const termios* term, const winsize* size) {
  int m = -1;
  int s = -1;
  if (::openpty(&m, &s, nullptr, const_cast<termios*>(term), const_cast<winsize*>(size)) != 0) {
    return -1;
  }
  pid_t pid = ::fork();
  if (pid < 0) {
    int e = errno;
    ::close(m);
    ::close(s);
    errno = e;
    return -1;
  }
  if (pid == 0) {
    ::close(m);
    if (::login_tty(s) != 0) {
      ::_exit(127);
    }
    return 0;
  }
  ::fcntl(m, F_SETFD, FD_CLOEXEC);
  ::fcntl(s, F_SETFD, FD_CLOEXEC);
  *master = m;
  *slave = s;
  return pid;
}

bool processIdentity(pid_t pid, ProcessIdentity* out) {
  *out = ProcessIdentity{};
  proc_bsdinfo info{};
  int n = ::proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, sizeof(info));
  if (n != static_cast<int>(sizeof(info))) {
    return false;
  }
  out->parent = static_cast<pid_t>(info.pbi_ppid);
  out->startedAtMillis = static_cast<int64_t>(info.pbi_start_tvsec) * 1000 +
                         static_cast<int64_t>(info.pbi_start_tvusec) / 1000;
  char path[PROC_PIDPATHINFO_MAXSIZE] = {};
  if (::proc_pidpath(pid, path, sizeof(path)) > 0) {
    out->executable = path;
  }
  return true;
}

pid_t foregroundGroup(int, pid_t shell) {
  proc_bsdinfo info{};
  int n = ::proc_pidinfo(shell, PROC_PIDTBSDINFO, 0, &info, sizeof(info));
  return n == static_cast<int>(sizeof(info)) && info.e_tpgid > 0 ? static_cast<pid_t>(info.e_tpgid)
                                                                 : -1;
}

std::string processName(pid_t pid) {
  char name[2 * MAXCOMLEN + 1] = {};
  int n = ::proc_name(pid, name, sizeof(name));
  return n > 0 ? std::string(name, static_cast<size_t>(n)) : std::string();
}

ssize_t writeWithoutWaiting(int, const void*, size_t) {
  errno = ENOTSUP;
  return -1;
}

int64_t modifiedNanos(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtimespec.tv_sec) * 1000000000 + st.st_mtimespec.tv_nsec;
}

void releaseFreeMemory() {
  ::malloc_zone_pressure_relief(nullptr, 0);
}

}  // namespace platform
