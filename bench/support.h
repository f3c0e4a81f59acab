#pragma once

// What the bench and the soak share: a temporary HOME, children on pipes, loopback and Unix-socket
// clients, a stand-in app, and sample statistics. Every wait takes a deadline.

#include "platform/unique_fd.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;
using platform::UniqueFd;

double secondsSince(Clock::time_point start);
int millisLeft(Clock::time_point deadline);

// A fresh directory (for HOME and friends), removed with everything in it by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return m_path; }
  bool ok() const { return !m_path.empty(); }

 private:
  std::string m_path;
};

// "NAME=value" entries: HOME, a plain PATH (`pathFirst` in front when given), and `extra`.
std::vector<std::string> baseEnv(const std::string& home, const std::string& pathFirst = "",
                                 const std::vector<std::string>& extra = {});

// A child with standard input and output on pipes. Standard error goes to `onErrLine`, one line at
// a time on a thread of its own, or to /dev/null without it. The destructor kills and reaps.
class Child {
 public:
  using LineFn = std::function<void(std::string_view)>;
  static std::unique_ptr<Child> spawn(const std::vector<std::string>& argv,
                                      const std::vector<std::string>& env, LineFn onErrLine = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return m_pid; }
  int out() const { return m_out.get(); }
  bool write(std::string_view bytes);
  void closeInput() { m_in.reset(); }
  // The next line of standard output without its LF; nullopt at the deadline or end of output.
  std::optional<std::string> readLine(Clock::time_point deadline);
  // Exit status (128 + signal when killed); nullopt at the deadline. Fills `usage` when given.
  std::optional<int> wait(Clock::time_point deadline, rusage* usage = nullptr);

 private:
  Child() = default;
  pid_t m_pid = -1;
  bool m_reaped = false;
  UniqueFd m_in, m_out;
  std::string m_buf;
  std::thread m_errThread;
  std::function<void()> m_stopPump;
};

// Spawns argv with no pipes (/dev/null for all three) and returns its pid, or -1.
pid_t spawnQuiet(const std::vector<std::string>& argv, const std::vector<std::string>& env);

// The channel-server in server mode with its `initialize` answered; port and token for channel
// mode. Standard error lines go to `onErrLine` as well.
struct Server {
  std::unique_ptr<Child> child;
  uint16_t port = 0;
  std::string token;
};
std::optional<Server> startServer(const std::string& binary, const std::string& home, bool channel,
                                  Child::LineFn onErrLine = {},
                                  const std::vector<std::string>& extraEnv = {});
// Closes its input and waits for the exit status.
std::optional<int> stopServer(Server& server, Clock::time_point deadline, rusage* usage = nullptr);

// Sockets. Blocking; `recvAll` reads until end of file or the deadline.
UniqueFd connectTcp(uint16_t port);
UniqueFd connectUnix(const std::string& path);
UniqueFd listenUnix(const std::string& path);
bool sendAll(int fd, std::string_view bytes);
bool recvAll(int fd, std::string* into, Clock::time_point deadline);
// Shuts the connection with a reset instead of a FIN (SO_LINGER 0).
void resetClose(UniqueFd fd);

std::string pushRequest(uint16_t port, const std::string& token, std::string_view body);
// "200" from "HTTP/1.1 200 OK ..."; empty when the answer has no status line.
std::string statusOf(std::string_view answer);

// The request line (without LF) a client sends on `fd`; what arrived when the deadline passed.
std::string readRequestLine(int fd, Clock::time_point deadline);

// A stand-in for the corvane app: one connection at a time on a thread of its own. `handle` gets
// each accepted connection (closed after it returns) and reads and answers as it likes.
class StandinApp {
 public:
  using Handler = std::function<void(int fd)>;
  StandinApp(std::string path, Handler handle);
  ~StandinApp();
  StandinApp(const StandinApp&) = delete;
  StandinApp& operator=(const StandinApp&) = delete;
  bool listening() const { return static_cast<bool>(m_listen); }
  // Makes a handler that sleeps or waits give up early.
  bool stopping() const { return m_stop.load(); }

 private:
  void serve();
  std::string m_path;
  Handler m_handle;
  UniqueFd m_listen;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

// Durations, sizes or rates of repeated runs.
struct Samples {
  std::vector<double> values;
  void add(double v) { values.push_back(v); }
  size_t count() const { return values.size(); }
  // Nearest-rank percentile, 0 < p <= 100; NaN when empty.
  double percentile(double p) const;
  double median() const { return percentile(50); }
};

// Raises our descriptor limit toward `wanted` (the 512-connection rows need it).
void raiseFdLimit(rlim_t wanted);

}  // namespace bench
