#include "testkit/process.h"

#include <cstdio>
#include <dirent.h>
#include <time.h>
#include <unistd.h>

namespace testkit {

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

}  // namespace testkit
