#include "testkit/process.h"

#include <libproc.h>
#include <mach/mach_time.h>
#include <vector>

namespace testkit {

bool processStats(pid_t pid, ProcessStats* out) {
  *out = ProcessStats{};
  rusage_info_v2 info{};
  if (::proc_pid_rusage(pid, RUSAGE_INFO_V2, reinterpret_cast<rusage_info_t*>(&info)) == 0) {
    // The times count Mach absolute time units, which are not nanoseconds on Apple silicon.
    mach_timebase_info_data_t base{};
    ::mach_timebase_info(&base);
    uint64_t ticks = info.ri_user_time + info.ri_system_time;
    out->cpuNanos = base.denom != 0 ? static_cast<int64_t>(ticks * base.numer / base.denom) : -1;
    out->residentBytes = static_cast<int64_t>(info.ri_resident_size);
  }
  int bytes = ::proc_pidinfo(pid, PROC_PIDLISTFDS, 0, nullptr, 0);
  if (bytes > 0) {
    // The first call only sizes the table; the second says how much of it is used.
    std::vector<proc_fdinfo> fds(static_cast<size_t>(bytes) / sizeof(proc_fdinfo) + 16);
    bytes = ::proc_pidinfo(pid, PROC_PIDLISTFDS, 0, fds.data(),
                           static_cast<int>(fds.size() * sizeof(proc_fdinfo)));
    if (bytes > 0) {
      out->openFds = bytes / static_cast<int>(sizeof(proc_fdinfo));
    }
  }
  return out->cpuNanos >= 0 || out->residentBytes >= 0 || out->openFds >= 0;
}

uint64_t maxRssBytes(const rusage& usage) {
  return static_cast<uint64_t>(usage.ru_maxrss);
}

}  // namespace testkit
