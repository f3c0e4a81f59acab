#include "testkit/process.h"

#include "platform/posix.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testkit {
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

std::vector<std::string> envStrings(const Env& env) {
  std::vector<std::string> out;
  for (const auto& [k, v] : env) {
    out.push_back(k + "=" + v);
  }
  return out;
}

// Standard error lines to `onLine` until end of file, or until `stop` once the child is reaped (a
// grandchild may hold the pipe open).
void pumpLines(UniqueFd fd, const Child::LineFn& onLine, const std::atomic<bool>* stop) {
  std::string buf;
  char chunk[16384];
  for (;;) {
    pollfd pfd{fd.get(), POLLIN, 0};
    int ready = ::poll(&pfd, 1, 100);
    if (ready == 0 && stop->load()) {
      return;
    }
    if (ready <= 0) {
      continue;
    }
    ssize_t n = ::read(fd.get(), chunk, sizeof(chunk));
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
    // process it watches.
    std::this_thread::sleep_for(1ms);
  }
}

}  // namespace

int millisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, 1 << 30));
}

bool readable(int fd, Clock::time_point deadline) {
  for (;;) {
    pollfd pfd{fd, POLLIN, 0};
    int ready = ::poll(&pfd, 1, millisLeft(deadline));
    if (ready >= 0 || errno != EINTR) {
      return ready > 0;
    }
  }
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TempDir::TempDir() {
  std::error_code ec;
  std::string pattern = (std::filesystem::temp_directory_path(ec) / "cs-test-XXXXXX").string();
  if (!ec && ::mkdtemp(pattern.data()) != nullptr) {
    m_path = pattern;
  }
}

TempDir::~TempDir() {
  // A companion the test started may still write here on its way out: a few tries.
  for (int tries = 0; !m_path.empty() && !m_keep && tries < 5; ++tries) {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
    if (!ec && !std::filesystem::exists(m_path, ec)) {
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

Env baseEnv(const std::string& home, const std::string& pathFirst) {
  std::string path = "/usr/local/bin:/usr/bin:/bin";
  return {{"HOME", home}, {"PATH", pathFirst.empty() ? path : pathFirst + ":" + path}};
}

// A stop flag per child that outlives it for the pump thread.
struct ErrPump {
  std::atomic<bool> stop{false};
};

std::unique_ptr<Child> Child::spawn(const std::vector<std::string>& argv, const Env& env,
                                    const SpawnOptions& options) {
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  bool errPipe = options.err != Err::Discard;
  std::lock_guard<std::mutex> hold(gSpawnLock);
  if (!cloexecPipe(in) || !cloexecPipe(out) || (errPipe && !cloexecPipe(err))) {
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
  if (errPipe) {
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  if (!options.cwd.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
  }
  auto envs = envStrings(env);
  auto args = platform::cStrings(argv);
  auto envp = platform::cStrings(envs);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  std::unique_ptr<Child> child(new Child);
  UniqueFd errRead(err[0]);
  for (int fd : {in[0], out[1], err[1]}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
  child->m_in.reset(in[1]);
  child->m_out.reset(out[0]);
  if (rc != 0) {
    return nullptr;
  }
  child->m_pid = pid;
  if (options.err == Err::Lines) {
    auto pump = std::make_shared<ErrPump>();
    child->m_errThread =
        std::thread([fd = std::move(errRead), fn = options.onErrLine, pump]() mutable {
          pumpLines(std::move(fd), fn, &pump->stop);
        });
    child->m_stopPump = [pump] { pump->stop = true; };
  } else {
    child->m_errFd = std::move(errRead);
  }
  return child;
}

Child::~Child() {
  if (m_pid > 0 && !m_status) {
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
  // The child may stop reading and leave (a bounded read): that must not end us with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  return m_in && platform::writeAll(m_in.get(), bytes.data(), bytes.size());
}

bool Child::fill(int fd, std::string* into, Clock::time_point deadline) {
  if (fd < 0 || !readable(fd, deadline)) {
    return false;
  }
  char buf[65536];
  ssize_t got = ::read(fd, buf, sizeof(buf));
  if (got <= 0) {
    return false;
  }
  into->append(buf, static_cast<size_t>(got));
  return true;
}

std::optional<std::string> Child::readLine(Clock::time_point deadline) {
  for (;;) {
    size_t nl = m_outBuf.find('\n');
    if (nl != std::string::npos) {
      std::string line = m_outBuf.substr(0, nl);
      m_outBuf.erase(0, nl + 1);
      return line;
    }
    if (!fill(m_out.get(), &m_outBuf, deadline)) {
      return std::nullopt;
    }
  }
}

std::string Child::readOutFor(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (millisLeft(deadline) > 0 && fill(m_out.get(), &m_outBuf, deadline)) {
  }
  return std::exchange(m_outBuf, std::string());
}

std::string Child::readAllErr(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (fill(m_errFd.get(), &m_err, deadline)) {
  }
  return m_err;
}

bool Child::waitErr(std::string_view needle, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (m_err.find(needle) == std::string::npos) {
    if (!fill(m_errFd.get(), &m_err, deadline)) {
      return false;
    }
  }
  return true;
}

std::optional<int> Child::wait(Clock::time_point deadline, rusage* usage) {
  // Backs off from a few microseconds, so a short-lived child is timed closely.
  auto pause = std::chrono::microseconds(10);
  while (!m_status) {
    int status = 0;
    rusage ru{};
    pid_t got = ::wait4(m_pid, &status, WNOHANG, &ru);
    if (got == m_pid) {
      m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      if (usage != nullptr) {
        *usage = ru;
      }
      break;
    }
    if ((got < 0 && errno != EINTR) || Clock::now() >= deadline) {
      return std::nullopt;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(1000));
  }
  return m_status;
}

void Child::kill(int sig) {
  if (!m_status) {
    ::kill(m_pid, sig);
  }
}

}  // namespace testkit
