#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

namespace cstest {
namespace {

using Clock = std::chrono::steady_clock;

int millisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

TempHome::TempHome() {
  std::string pattern = (std::filesystem::temp_directory_path() / "cs-test-XXXXXX").string();
  char* made = ::mkdtemp(pattern.data());
  if (made == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
  }
  m_path = pattern;
}

TempHome::~TempHome() {
  if (::testing::Test::HasFailure()) {
    std::fprintf(stderr, "test files kept in %s\n", m_path.c_str());
    return;
  }
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

Env baseEnv(const std::string& home) {
  return {{"HOME", home}, {"PATH", "/usr/local/bin:/usr/bin:/bin"}};
}

std::unique_ptr<Child> Child::spawn(const std::vector<std::string>& argv, const Env& env,
                                    const std::string& cwd) {
  int in[2], out[2], err[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return nullptr;
  }
  std::vector<std::string> envStrings;
  for (const auto& [k, v] : env) {
    envStrings.push_back(k + "=" + v);
  }
  std::vector<char*> args, envp;
  for (const auto& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);
  for (auto& e : envStrings) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);

  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
      ::close(fd);
    }
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) {
      ::_exit(126);
    }
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  std::unique_ptr<Child> child(new Child);
  child->m_pid = pid;
  child->m_in.reset(in[1]);
  child->m_out.reset(out[0]);
  child->m_errFd.reset(err[0]);
  for (int fd : {in[1], out[0], err[0]}) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  return child;
}

Child::~Child() {
  if (m_pid > 0 && !m_status) {
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
  }
}

bool Child::write(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(m_in.get(), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void Child::closeInput() { m_in.reset(); }

bool Child::fill(int fd, std::string* into, Clock::time_point deadline) {
  if (fd < 0) {
    return false;
  }
  pollfd pfd{fd, POLLIN, 0};
  int n = ::poll(&pfd, 1, millisLeft(deadline));
  if (n <= 0) {
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

std::optional<std::string> Child::readLine(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
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
  for (;;) {
    if (m_err.find(needle) != std::string::npos) {
      return true;
    }
    if (!fill(m_errFd.get(), &m_err, deadline)) {
      return false;
    }
  }
}

std::optional<int> Child::wait(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!m_status) {
    int status = 0;
    pid_t r = ::waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
      m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (millisLeft(deadline) == 0) {
      return std::nullopt;
    }
    std::this_thread::sleep_for(5ms);
  }
  return m_status;
}

void Child::kill(int sig) {
  if (!m_status) {
    ::kill(m_pid, sig);
  }
}

std::string binaryPath() { return CS_BINARY_PATH; }

std::string request(int id, const std::string& method, const std::string& params) {
  std::string line = "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) + ",\"method\":\"" +
                     method + "\"";
  if (!params.empty()) {
    line += ",\"params\":" + params;
  }
  return line + "}\n";
}

}  // namespace cstest
