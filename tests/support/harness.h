#pragma once

// Helpers for tests that run the real binary: a temporary HOME, a child on pipes, deadlines.

#include "platform/unique_fd.h"

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cstest {

using namespace std::chrono_literals;
using Env = std::map<std::string, std::string>;

// A fresh directory used as HOME. Removed afterwards unless the test failed; then its path is
// printed so the files can be looked at.
class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;
  const std::string& path() const { return m_path; }
  std::string operator/(const std::string& rel) const { return m_path + "/" + rel; }

 private:
  std::string m_path;
};

// HOME and a plain PATH; nothing else leaks in from the caller's environment.
Env baseEnv(const std::string& home);

// A child process with standard input, output and error on pipes.
class Child {
 public:
  static std::unique_ptr<Child> spawn(const std::vector<std::string>& argv, const Env& env,
                                      const std::string& cwd = "");
  ~Child();

  pid_t pid() const { return m_pid; }
  bool write(std::string_view bytes);
  void closeInput();
  // Closes our end of its standard output, as a client that went away does.
  void closeOutput() { m_out.reset(); }

  // The next line of standard output without its LF, or nullopt at the deadline or end.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = 5s);
  // All of standard error until the child closes it (or the deadline).
  std::string readAllErr(std::chrono::milliseconds timeout = 5s);
  // Standard error lines until one equals or contains `needle`; false at the deadline.
  bool waitErr(std::string_view needle, std::chrono::milliseconds timeout = 5s);
  // Everything read from standard error so far.
  const std::string& errSoFar() const { return m_err; }
  // Bytes of standard output that arrive within `timeout` (for "nothing was written" checks).
  std::string readOutFor(std::chrono::milliseconds timeout);

  // Exit status, or 128 + signal; nullopt if it did not end in time.
  std::optional<int> wait(std::chrono::milliseconds timeout = 5s);
  void kill(int sig);

 private:
  Child() = default;
  bool fill(int fd, std::string* into, std::chrono::steady_clock::time_point deadline);

  pid_t m_pid = -1;
  std::optional<int> m_status;
  platform::UniqueFd m_in, m_out, m_errFd;
  std::string m_outBuf, m_err;
  size_t m_errScanned = 0;
};

// The channel-server binary built with the tests.
std::string binaryPath();

// JSON-RPC request line.
std::string request(int id, const std::string& method, const std::string& params = "");

}  // namespace cstest
