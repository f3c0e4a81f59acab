// The terminal proxy (`channel-server launch` with a stand-in `claude`) and idle CPU.

#include "bench/rows.h"
#include "launcher/pty_relay.h"
#include "platform/platform.h"
#include "platform/posix.h"

#include <filesystem>
#include <poll.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char QUIT = 0x1d;  // ends bench-child echo and idle

Env launcherEnv(const Config& config, const std::string& home, const std::string& childArgs) {
  return benchEnv(home, config.stubs,
                  {{"BENCH_CHILD", config.child}, {"BENCH_CHILD_ARGS", childArgs}});
}

// util-linux and BSD script(1) take the command differently; empty when there is none.
std::vector<std::string> scriptArgv(const std::vector<std::string>& command) {
  std::string script;
  for (const char* p : {"/usr/bin/script", "/bin/script"}) {
    if (::access(p, X_OK) == 0) {
      script = p;
      break;
    }
  }
  utsname os{};
  if (script.empty() || ::uname(&os) != 0) {
    return {};
  }
  if (std::string(os.sysname) == "Linux") {
    std::string joined;
    for (const auto& part : command) {
      joined += (joined.empty() ? "" : " ") + part;
    }
    return {script, "-qfc", joined, "/dev/null"};
  }
  std::vector<std::string> argv{script, "-q", "/dev/null"};
  argv.insert(argv.end(), command.begin(), command.end());
  return argv;
}

// Seconds from spawn until the output has ended and the process exited; bytes read in *bytes.
// Standard input stays open and silent, as a user who types nothing.
double drainRun(const std::vector<std::string>& argv, const Env& env, size_t* bytes) {
  auto start = Clock::now();
  auto child = Child::spawn(argv, env, drainErr());
  if (!child) {
    return -1;
  }
  auto deadline = start + seconds(60);
  std::vector<char> chunk(65536);
  *bytes = 0;
  for (;;) {
    pollfd pfd{child->out(), POLLIN, 0};
    if (::poll(&pfd, 1, millisLeft(deadline)) <= 0) {
      return -1;
    }
    ssize_t n = ::read(child->out(), chunk.data(), chunk.size());
    if (n <= 0) {
      break;
    }
    *bytes += static_cast<size_t>(n);
  }
  auto status = child->wait(deadline);
  return status && *status == 0 ? secondsSince(start) : -1;
}

Row throughputRow(const Config& config) {
  Row row{"proxy throughput: child prints 100 MB through `launch`"};
  row.unit = Unit::BytesPerSecond;
  row.limit.what = "script(1) running the same child";
  row.aim = "ratio ≤ 1";
  size_t total = scaled(config, 100 * 1000 * 1000, 1000 * 1000);
  std::string count = std::to_string(total);
  TempDir home;
  auto env = launcherEnv(config, home.path(), "bytes " + count);
  auto script = scriptArgv({config.child, "bytes", count});
  if (script.empty()) {
    row.limit.skipped = "no script(1) here";
  }
  // The terminal turns each LF into CR LF, so more bytes arrive than the child wrote.
  auto rate = [&](const std::vector<std::string>& argv, const Env& runEnv, Figure* into) {
    size_t got = 0;
    if (double t = drainRun(argv, runEnv, &got); t > 0 && got >= total) {
      into->samples.add(static_cast<double>(total) / t);
    }
  };
  size_t runs = scaled(config, 5, 2);
  auto deadline = Clock::now() + seconds(60);
  for (size_t i = 0; i < runs && Clock::now() < deadline; ++i) {
    rate({config.binary, "launch"}, env, &row.figure);
    if (!script.empty()) {
      rate(script, benchEnv(home.path()), &row.limit);
    }
  }
  if (row.figure.samples.count() == 0) {
    row.figure.skipped = "the launcher run failed";
  }
  return row;
}

// Reads `fd` until `marker` has arrived; keeps what follows it in *rest.
bool awaitMarker(int fd, const std::string& marker, std::string* rest, Clock::time_point deadline) {
  char chunk[4096];
  for (;;) {
    if (size_t at = rest->find(marker); at != std::string::npos) {
      rest->erase(0, at + marker.size());
      return true;
    }
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, millisLeft(deadline)) <= 0) {
      return false;
    }
    ssize_t n = ::read(fd, chunk, sizeof(chunk));
    if (n <= 0) {
      return false;
    }
    rest->append(chunk, static_cast<size_t>(n));
  }
}

// The inject socket the launcher bound in this HOME, once it exists.
std::string findInjectSocket(const std::string& home, Clock::time_point deadline) {
  while (Clock::now() < deadline) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(home + "/.corvane", ec)) {
      std::string name = entry.path().filename().string();
      if (name.rfind("inject-", 0) == 0 && entry.is_socket(ec)) {
        return entry.path().string();
      }
    }
    std::this_thread::sleep_for(milliseconds(5));
  }
  return {};
}

bool inject(const std::string& sock, const std::string& bytes) {
  UniqueFd fd = connectUnix(sock);
  return fd && sendAll(fd.get(), bytes);
}

// bench-child echo on a pseudo-terminal of our own: what typing into a terminal costs.
bool openDirectPty(const Config& config, const std::string& home, launcher::PtyChild* pty) {
  int err = 0;
  std::string rest;
  return launcher::startOnPty({config.child, "echo"},
                              {"HOME=" + home, "LC_ALL=C", "PATH=/usr/local/bin:/usr/bin:/bin"},
                              "bench-child", nullptr, nullptr, pty, &err) &&
         awaitMarker(pty->master.get(), "READY", &rest, Clock::now() + seconds(5));
}

Row injectRow(const Config& config) {
  Row row{"inject latency: bytes to the inject socket → echoed by the child on stdout"};
  row.limit.what = "the same bytes written to a pty of our own, echoed back";
  TempDir home;
  auto proxy =
      Child::spawn({config.binary, "launch"}, launcherEnv(config, home.path(), "echo"), drainErr());
  std::string rest;
  auto deadline = Clock::now() + seconds(5);
  std::string sock = proxy && awaitMarker(proxy->out(), "READY", &rest, deadline)
                         ? findInjectSocket(home.path(), deadline)
                         : "";
  launcher::PtyChild pty;
  struct Reap {
    pid_t& pid;
    ~Reap() {
      if (pid > 0 && ::kill(pid, SIGKILL) == 0) {
        ::waitpid(pid, nullptr, 0);
      }
    }
  } reap{pty.pid};
  if (sock.empty() || !openDirectPty(config, home.path(), &pty)) {
    row.figure.skipped = "launcher, inject socket or pty did not come up";
    return row;
  }
  std::string ptyRest;
  // Each marker written, then read back from `fd`.
  auto echoed = [](int fd, std::string* kept, size_t i, auto write) {
    std::string marker = "<" + std::to_string(100000 + i) + ">";
    auto start = Clock::now();
    bool ok = write(marker) && awaitMarker(fd, marker, kept, start + seconds(5));
    return ok ? secondsSince(start) : -1.0;
  };
  sampleBoth(
      row, scaled(config, 500),
      [&](size_t i) {
        return echoed(proxy->out(), &rest, i,
                      [&](const std::string& m) { return inject(sock, m); });
      },
      [&](size_t i) {
        return echoed(pty.master.get(), &ptyRest, i, [&](const std::string& m) {
          return platform::writeAll(pty.master.get(), m.data(), m.size());
        });
      });
  inject(sock, std::string(1, QUIT));
  proxy->wait(Clock::now() + seconds(5));
  return row;
}

std::vector<Row> idleRows(const Config& config) {
  double window = config.scale < 1 ? 3 : 10;
  std::string span = std::to_string(static_cast<int>(window)) + " s";
  Row proxyIdle{"idle CPU of the proxy over " + span};
  Row serverIdle{"idle CPU of the server (channel mode) over " + span};
  for (Row* r : {&proxyIdle, &serverIdle}) {
    // 0.1 % of one core.
    r->limit = fixedBudget("budget", window / 1000);
  }
  TempDir home;
  auto proxy =
      Child::spawn({config.binary, "launch"}, launcherEnv(config, home.path(), "idle"), drainErr());
  std::string sock = proxy ? findInjectSocket(home.path(), Clock::now() + seconds(5)) : "";
  TempDir serverHome;
  auto server = startServer(config.binary, serverHome.path(), true);
  if (sock.empty() || !server) {
    proxyIdle.figure.skipped = serverIdle.figure.skipped = "launcher or server did not start";
    return {proxyIdle, serverIdle};
  }
  std::this_thread::sleep_for(milliseconds(500));
  std::pair<pid_t, Row*> watched[] = {{proxy->pid(), &proxyIdle},
                                      {server->child->pid(), &serverIdle}};
  ProcessStats before[2], after[2];
  for (int i = 0; i < 2; ++i) {
    processStats(watched[i].first, &before[i]);
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(window));
  for (int i = 0; i < 2; ++i) {
    processStats(watched[i].first, &after[i]);
    Figure& f = watched[i].second->figure;
    if (before[i].cpuNanos < 0 || after[i].cpuNanos < 0) {
      f.skipped = "this OS does not report another process's CPU time";
    } else {
      f.samples.add(static_cast<double>(after[i].cpuNanos - before[i].cpuNanos) / 1e9);
    }
  }
  inject(sock, std::string(1, QUIT));
  proxy->wait(Clock::now() + seconds(5));
  stopServer(*server, Clock::now() + seconds(5));
  return {proxyIdle, serverIdle};
}

}  // namespace

std::vector<Row> proxyRows(const Config& config) {
  progress("proxy throughput");
  std::vector<Row> rows{throughputRow(config)};
  progress("inject latency");
  rows.push_back(injectRow(config));
  progress("idle CPU");
  std::vector<Row> idle = idleRows(config);
  rows.insert(rows.end(), idle.begin(), idle.end());
  return rows;
}

}  // namespace bench
