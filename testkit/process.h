#pragma once

// Driving the real binary from tests and the bench: a temporary HOME, children on pipes, deadlines.

#include "platform/unique_fd.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace testkit {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Env = std::map<std::string, std::string>;
using platform::UniqueFd;

int millisLeft(Clock::time_point deadline);
double secondsSince(Clock::time_point start);
// Whether `fd` has something to read (or has ended) before the deadline.
bool readable(int fd, Clock::time_point deadline);

// A fresh directory, removed with everything in it by the destructor unless kept.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return m_path; }
  std::string operator/(const std::string& rel) const { return m_path + "/" + rel; }
  bool ok() const { return !m_path.empty(); }
  void keep() { m_keep = true; }

 private:
  std::string m_path;
  bool m_keep = false;
};

// HOME and a plain PATH (`pathFirst` in front when given); nothing leaks in from the caller.
Env baseEnv(const std::string& home, const std::string& pathFirst = "");

// Where a child's standard error goes.
enum class Err { Keep, Lines, Discard };
struct SpawnOptions {
  SpawnOptions(Err e = Err::Keep, std::function<void(std::string_view)> fn = {},
               std::string dir = {})
      : err(e), onErrLine(std::move(fn)), cwd(std::move(dir)) {}
  Err err;
  std::function<void(std::string_view)> onErrLine;  // with Err::Lines
  std::string cwd;
};

// A child with standard input and output on pipes. Standard error is kept for readAllErr/waitErr,
// or goes line by line to `onErrLine` on a thread of its own, or to /dev/null. The destructor
// kills and reaps.
class Child {
 public:
  using LineFn = std::function<void(std::string_view)>;
  static std::unique_ptr<Child> spawn(const std::vector<std::string>& argv, const Env& env,
                                      const SpawnOptions& options = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return m_pid; }
  int out() const { return m_out.get(); }
  bool write(std::string_view bytes);
  void closeInput() { m_in.reset(); }
  // Closes our end of its standard output, as a client that went away does.
  void closeOutput() { m_out.reset(); }

  // The next line of standard output without its LF; nullopt at the deadline or end of output.
  std::optional<std::string> readLine(Clock::time_point deadline);
  std::optional<std::string> readLine(std::chrono::milliseconds t = 5s) {
    return readLine(Clock::now() + t);
  }
  // Bytes of standard output that arrive within `timeout` (for "nothing was written" checks).
  std::string readOutFor(std::chrono::milliseconds timeout);
  // All of standard error until the child closes it (or the deadline).
  std::string readAllErr(std::chrono::milliseconds timeout = 5s);
  // Standard error until it contains `needle`; false at the deadline.
  bool waitErr(std::string_view needle, std::chrono::milliseconds timeout = 5s);
  const std::string& errSoFar() const { return m_err; }

  // Exit status (128 + signal when killed); nullopt at the deadline. Fills `usage` when given.
  std::optional<int> wait(Clock::time_point deadline, rusage* usage = nullptr);
  std::optional<int> wait(std::chrono::milliseconds t = 5s) { return wait(Clock::now() + t); }
  void kill(int sig);

 private:
  Child() = default;
  bool fill(int fd, std::string* into, Clock::time_point deadline);

  pid_t m_pid = -1;
  std::optional<int> m_status;
  UniqueFd m_in, m_out, m_errFd;
  std::string m_outBuf, m_err;
  std::thread m_errThread;
  std::function<void()> m_stopPump;
};

// What the OS tells about a running process of the same user; a field it cannot read stays -1.
struct ProcessStats {
  int64_t cpuNanos = -1;       // user + system time of all its threads so far
  int64_t residentBytes = -1;  // resident set size now
  int64_t openFds = -1;        // descriptors open now
};
// False when the process cannot be looked at (gone, another user's).
bool processStats(pid_t pid, ProcessStats* out);
// ru_maxrss in bytes: the field counts KiB on Linux and bytes on macOS.
uint64_t maxRssBytes(const rusage& usage);

}  // namespace testkit
