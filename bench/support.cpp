#include "bench/support.h"

#include "platform/platform.h"
#include "platform/posix.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {
namespace {

// Pipes are made and spawned under one lock, so no child inherits another child's pipe end.
std::mutex gSpawnLock;

bool cloexecPipe(int fds[2]) {
  if (::pipe(fds) != 0) {
    return false;
  }
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return true;
}

std::vector<char*> cStrings(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (const auto& s : strings) {
    out.push_back(const_cast<char*>(s.c_str()));
  }
  out.push_back(nullptr);
  return out;
}

// Standard error lines to `onLine` until end of file, or until `stop` once the child is reaped (a
// grandchild may hold the pipe open).
void pumpLines(int fd, Child::LineFn onLine, const std::atomic<bool>* stop) {
  UniqueFd owned(fd);
  std::string buf;
  char chunk[16384];
  for (;;) {
    pollfd pfd{fd, POLLIN, 0};
    int ready = ::poll(&pfd, 1, 100);
    if (ready == 0 && stop->load()) {
      return;
    }
    if (ready <= 0) {
      continue;
    }
    ssize_t n = ::read(fd, chunk, sizeof(chunk));
    if (n <= 0) {
      return;
    }
    buf.append(chunk, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t nl; (nl = buf.find('\n', start)) != std::string::npos; start = nl + 1) {
      onLine(std::string_view(buf).substr(start, nl - start));
    }
    buf.erase(0, start);
    // Batches a stream of lines into fewer reads, so the reader takes little CPU from the
    // process it watches (on two cores it competes with it).
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int millisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, 1 << 30));
}

TempDir::TempDir() {
  std::error_code ec;
  std::string pattern = (std::filesystem::temp_directory_path(ec) / "cs-bench-XXXXXX").string();
  if (!ec && ::mkdtemp(pattern.data()) != nullptr) {
    m_path = pattern;
  }
}

TempDir::~TempDir() {
  if (!m_path.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
}

std::vector<std::string> baseEnv(const std::string& home, const std::string& pathFirst,
                                 const std::vector<std::string>& extra) {
  std::string path = "/usr/local/bin:/usr/bin:/bin";
  std::vector<std::string> env{
      "HOME=" + home, "PATH=" + (pathFirst.empty() ? path : pathFirst + ":" + path), "LC_ALL=C"};
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

// A stop flag per child that outlives it for the pump thread.
struct ErrPump {
  std::atomic<bool> stop{false};
};

std::unique_ptr<Child> Child::spawn(const std::vector<std::string>& argv,
                                    const std::vector<std::string>& env, LineFn onErrLine) {
  std::unique_ptr<Child> child(new Child);
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  std::lock_guard<std::mutex> hold(gSpawnLock);
  if (!cloexecPipe(in) || !cloexecPipe(out) || (onErrLine && !cloexecPipe(err))) {
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
      if (fd >= 0) {
        ::close(fd);
      }
    }
    return nullptr;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  if (onErrLine) {
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  auto args = cStrings(argv);
  auto envp = cStrings(env);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (err[1] >= 0) {
    ::close(err[1]);
  }
  child->m_in.reset(in[1]);
  child->m_out.reset(out[0]);
  if (rc != 0) {
    if (err[0] >= 0) {
      ::close(err[0]);
    }
    return nullptr;
  }
  child->m_pid = pid;
  if (onErrLine) {
    auto pump = std::make_shared<ErrPump>();
    child->m_errThread =
        std::thread([fd = err[0], onErrLine, pump] { pumpLines(fd, onErrLine, &pump->stop); });
    child->m_stopPump = [pump] { pump->stop = true; };
  }
  return child;
}

Child::~Child() {
  if (m_pid > 0 && !m_reaped) {
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
  }
  if (m_stopPump) {
    m_stopPump();
  }
  if (m_errThread.joinable()) {
    m_errThread.join();
  }
}

bool Child::write(std::string_view bytes) {
  return m_in && platform::writeAll(m_in.get(), bytes.data(), bytes.size());
}

std::optional<std::string> Child::readLine(Clock::time_point deadline) {
  for (;;) {
    size_t nl = m_buf.find('\n');
    if (nl != std::string::npos) {
      std::string line = m_buf.substr(0, nl);
      m_buf.erase(0, nl + 1);
      return line;
    }
    pollfd pfd{m_out.get(), POLLIN, 0};
    int ready = ::poll(&pfd, 1, millisLeft(deadline));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      return std::nullopt;
    }
    char chunk[65536];
    ssize_t n = ::read(m_out.get(), chunk, sizeof(chunk));
    if (n <= 0) {
      return std::nullopt;
    }
    m_buf.append(chunk, static_cast<size_t>(n));
  }
}

std::optional<int> Child::wait(Clock::time_point deadline, rusage* usage) {
  if (m_reaped) {
    return std::nullopt;
  }
  // Backs off from a few microseconds, so a short-lived child is timed closely.
  auto pause = std::chrono::microseconds(10);
  for (;;) {
    int status = 0;
    rusage ru{};
    pid_t got = ::wait4(m_pid, &status, WNOHANG, &ru);
    if (got == m_pid) {
      m_reaped = true;
      if (usage != nullptr) {
        *usage = ru;
      }
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (got < 0 && errno != EINTR) {
      return std::nullopt;
    }
    if (Clock::now() >= deadline) {
      return std::nullopt;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(1000));
  }
}

pid_t spawnQuiet(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd : {0, 1, 2}) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  auto args = cStrings(argv);
  auto envp = cStrings(env);
  pid_t pid = -1;
  std::lock_guard<std::mutex> hold(gSpawnLock);
  int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

std::optional<Server> startServer(const std::string& binary, const std::string& home, bool channel,
                                  Child::LineFn onErrLine,
                                  const std::vector<std::string>& extraEnv) {
  struct Ready {
    std::mutex lock;
    std::condition_variable cv;
    int port = 0;
  };
  auto ready = std::make_shared<Ready>();
  Server server;
  std::vector<std::string> extra = extraEnv;
  if (channel) {
    server.token = "bench-token-0123456789abcdef";
    extra.push_back("CV_CHANNEL_TOKEN=" + server.token);
  } else {
    extra.push_back("CV_TOOLS_ONLY=1");
  }
  static const std::string_view MARK = "HTTP em 127.0.0.1:";
  auto onLine = [ready, onErrLine](std::string_view line) {
    if (size_t at = line.find(MARK); at != std::string_view::npos) {
      std::lock_guard<std::mutex> hold(ready->lock);
      ready->port = std::atoi(std::string(line.substr(at + MARK.size())).c_str());
      ready->cv.notify_all();
    }
    if (onErrLine) {
      onErrLine(line);
    }
  };
  server.child = Child::spawn({binary}, baseEnv(home, "", extra), onLine);
  if (!server.child) {
    return std::nullopt;
  }
  auto deadline = Clock::now() + std::chrono::seconds(10);
  if (channel) {
    std::unique_lock<std::mutex> hold(ready->lock);
    if (!ready->cv.wait_until(hold, deadline, [&] { return ready->port != 0; })) {
      return std::nullopt;
    }
    server.port = static_cast<uint16_t>(ready->port);
  }
  server.child->write(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{}})"
                      "\n");
  auto answer = server.child->readLine(deadline);
  if (!answer || answer->find("\"id\":0") == std::string::npos) {
    return std::nullopt;
  }
  return server;
}

std::optional<int> stopServer(Server& server, Clock::time_point deadline, rusage* usage) {
  server.child->closeInput();
  return server.child->wait(deadline, usage);
}

}  // namespace bench
