// The terminal proxy (`channel-server launch` with a stand-in `claude`) and idle CPU.

#include "bench/bench.h"
#include "launcher/pty_relay.h"
#include "platform/posix.h"

#include <cerrno>
#include <filesystem>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// The stand-in `claude` runs this: a raw terminal that says READY and echoes what it is sent.
const std::string ECHO = "stty raw -echo; printf READY; exec cat";

// A process on a pseudo-terminal the bench owns, as on a person's terminal: its standard input,
// output and error are the slave side, and the bench reads and writes the master. (On pipes,
// `launch` runs `claude` without the proxy.) Killed and reaped when dropped.
class OnPty {
 public:
  static std::unique_ptr<OnPty> start(const std::vector<std::string>& argv, const Env& env) {
    std::vector<std::string> entries;
    for (const auto& [name, value] : env) {
      entries.push_back(name + "=" + value);
    }
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    auto run = std::make_unique<OnPty>();
    int err = 0;
    if (!launcher::startOnPty(argv, entries, argv[0], nullptr, &size, &run->m_pty, &err)) {
      return nullptr;
    }
    return run;
  }
  OnPty() = default;
  OnPty(const OnPty&) = delete;
  OnPty& operator=(const OnPty&) = delete;
  ~OnPty() {
    if (!m_status && ::kill(m_pty.pid, SIGKILL) == 0) {
      ::waitpid(m_pty.pid, nullptr, 0);
    }
  }
  int master() const { return m_pty.master.get(); }
  pid_t pid() const { return m_pty.pid; }
  // The exit status once it ends, or nullopt at the deadline.
  std::optional<int> wait(Clock::time_point deadline) {
    for (auto pause = milliseconds(1); !m_status; std::this_thread::sleep_for(pause)) {
      int status = 0;
      pid_t got = ::waitpid(m_pty.pid, &status, WNOHANG);
      if (got == m_pty.pid) {
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      } else if ((got < 0 && errno != EINTR) || Clock::now() >= deadline) {
        return std::nullopt;
      }
    }
    return m_status;
  }

 private:
  launcher::PtyChild m_pty;
  std::optional<int> m_status;
};

// Launches the proxy over the stand-in `claude`, which runs `command` with /bin/sh.
std::unique_ptr<OnPty> launch(const Config& config, const std::string& home,
                              const std::string& command) {
  return OnPty::start({config.binary, "launch"},
                      benchEnv(home, config.stubs, {{"BENCH_CLAUDE", command}}));
}

// Reads `fd` into *kept until it holds `marker`, and drops all up to its end; false at the
// deadline or the end of output.
bool readUntil(int fd, const std::string& marker, std::string* kept, Clock::time_point deadline) {
  char chunk[65536];
  while (kept->find(marker) == std::string::npos) {
    if (!testkit::readable(fd, deadline)) {
      return false;
    }
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    kept->append(chunk, static_cast<size_t>(n));
  }
  kept->erase(0, kept->find(marker) + marker.size());
  return true;
}

// The rate of a run that prints `total` bytes and exits 0; standard input stays open and silent,
// as a user who types nothing. The terminal turns each LF into CR LF, so more bytes arrive.
void drainRun(const std::vector<std::string>& argv, const Env& env, size_t total, Figure* into) {
  auto start = Clock::now();
  auto deadline = start + seconds(60);
  auto child = OnPty::start(argv, env);
  size_t got = 0;
  std::optional<int> status;
  // Output ends with EIO on Linux; where the slave side stays open (macOS), a quiet master and a
  // reaped child end it.
  char chunk[65536];
  while (child && !status && Clock::now() < deadline) {
    if (testkit::readable(child->master(), std::min(deadline, Clock::now() + milliseconds(50)))) {
      ssize_t n = ::read(child->master(), chunk, sizeof chunk);
      got += n > 0 ? static_cast<size_t>(n) : 0;
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        status = child->wait(deadline);
        break;
      }
    } else {
      status = child->wait(Clock::now());
    }
  }
  if (got >= total && status == 0) {
    into->samples.push_back(static_cast<double>(total) / secondsSince(start));
  }
}

// The inject socket the launcher bound in this HOME, once it exists.
std::string findInjectSocket(const std::string& home, Clock::time_point deadline) {
  for (; Clock::now() < deadline; std::this_thread::sleep_for(milliseconds(5))) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(home + "/.corvane", ec)) {
      if (entry.path().filename().string().rfind("inject-", 0) == 0 && entry.is_socket(ec)) {
        return entry.path().string();
      }
    }
  }
  return {};
}

Row throughputRow(const Config& config) {
  Row row{"proxy throughput: child prints 100 MB through `launch`",
          "script(1) running the same child", Unit::BytesPerSecond, "ratio ≤ 1"};
  size_t total = scaled(config, 100 * 1000 * 1000, 1000 * 1000);
  // 80-byte text lines; `yes` is told of the closed pipe by an error, SIGPIPE being ignored here.
  std::string child =
      "yes " + std::string(79, 'a') + " 2>/dev/null | head -c " + std::to_string(total);
  TempDir home;
  // util-linux and BSD script(1) take the command differently.
  utsname os{};
  bool onLinux = ::uname(&os) == 0 && std::string(os.sysname) == "Linux";
  auto script = onLinux ? std::vector<std::string>{"/usr/bin/script", "-qfc", child, "/dev/null"}
                        : std::vector<std::string>{"/usr/bin/script", "-q", "/dev/null",
                                                   "/bin/sh",         "-c", child};
  auto deadline = Clock::now() + seconds(60);
  for (size_t i = 0, runs = scaled(config, 5, 2); i < runs && Clock::now() < deadline; ++i) {
    drainRun({config.binary, "launch"},
             benchEnv(home.path(), config.stubs, {{"BENCH_CLAUDE", child}}), total, &row.figure);
    drainRun(script, benchEnv(home.path()), total, &row.limit);
  }
  return row;
}

Row injectRow(const Config& config) {
  Row row{"inject latency: bytes to the inject socket → echoed by the child on stdout",
          "the same bytes written to a pty of our own, echoed back"};
  TempDir home;
  auto proxy = launch(config, home.path(), ECHO);
  std::string rest, ptyRest;
  auto deadline = Clock::now() + seconds(5);
  std::string sock = proxy && readUntil(proxy->master(), "READY", &rest, deadline)
                         ? findInjectSocket(home.path(), deadline)
                         : "";
  // The same echo on a pseudo-terminal of our own: what typing into a terminal costs.
  launcher::PtyChild pty;
  int err = 0;
  bool direct =
      launcher::startOnPty({"/bin/sh", "-c", ECHO},
                           {"HOME=" + home.path(), "LC_ALL=C", "PATH=/usr/local/bin:/usr/bin:/bin"},
                           "sh", nullptr, nullptr, &pty, &err) &&
      readUntil(pty.master.get(), "READY", &ptyRest, deadline);
  if (!sock.empty() && direct) {
    // Each marker written, then read back from `fd`.
    auto echoed = [](int fd, std::string* kept, size_t i, auto write) {
      std::string marker = "<" + std::to_string(100000 + i) + ">";
      auto start = Clock::now();
      bool ok = write(marker) && readUntil(fd, marker, kept, start + seconds(5));
      return ok ? secondsSince(start) : -1.0;
    };
    sampleBoth(
        row, scaled(config, 500),
        [&](size_t i) {
          return echoed(proxy->master(), &rest, i, [&](const auto& m) {
            UniqueFd fd = connectUnix(sock);  // one connection per injected message
            return fd && sendAll(fd.get(), m);
          });
        },
        [&](size_t i) {
          return echoed(pty.master.get(), &ptyRest, i, [&](const auto& m) {
            return platform::writeAll(pty.master.get(), m.data(), m.size());
          });
        });
  }
  if (pty.pid > 0 && ::kill(pty.pid, SIGKILL) == 0) {
    ::waitpid(pty.pid, nullptr, 0);
  }
  return row;
}

}  // namespace

std::vector<Row> proxyRows(const Config& config) {
  return {throughputRow(config), injectRow(config)};
}

std::vector<Row> idleRows(const Config& config) {
  double window = config.scale < 1 ? 3 : 10;
  std::string span = std::to_string(static_cast<int>(window)) + " s";
  Row proxyIdle{"idle CPU of the proxy over " + span};
  Row serverIdle{"idle CPU of the server (channel mode) over " + span};
  TempDir home, serverHome;
  auto proxy = launch(config, home.path(), ECHO);
  std::string sock = proxy ? findInjectSocket(home.path(), Clock::now() + seconds(5)) : "";
  auto server = startServer(config.binary, serverHome.path(), true);
  std::pair<pid_t, Row*> watched[] = {{sock.empty() ? -1 : proxy->pid(), &proxyIdle},
                                      {server ? server->child->pid() : -1, &serverIdle}};
  std::this_thread::sleep_for(milliseconds(500));
  ProcessStats before[2], after[2];
  for (int i = 0; i < 2; ++i) {
    processStats(watched[i].first, &before[i]);
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(window));
  // A process that did not start, or an OS that does not tell another process's CPU time, leaves
  // the figure empty.
  for (int i = 0; i < 2; ++i) {
    watched[i].second->limit = fixedBudget("budget", window / 1000);  // 0.1 % of one core
    if (watched[i].first > 0 && processStats(watched[i].first, &after[i]) &&
        before[i].cpuNanos >= 0 && after[i].cpuNanos >= 0) {
      watched[i].second->figure.samples.push_back(
          static_cast<double>(after[i].cpuNanos - before[i].cpuNanos) / 1e9);
    }
  }
  return {proxyIdle, serverIdle};
}

}  // namespace bench
