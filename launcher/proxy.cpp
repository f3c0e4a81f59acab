#include "launcher/proxy.h"

#include "base/log.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/posix.h"
#include "state/state.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace launcher {

std::string injectPathIn(const std::string& dir, const std::string& instance) {
  std::string path = dir + "/inject-" + instance.substr(0, 8) + ".sock";
  return !dir.empty() && path.size() < platform::sunPathSize() ? path : "";
}

std::string injectSockPath(const std::string& instance) {
  return state::socketPath(state::dir(), "inject-" + instance.substr(0, 8) + ".sock");
}

bool haveTTY() {
  return ::isatty(STDIN_FILENO) != 0;
}

std::vector<std::string> childEnvironment(const char* const* env, const EnvList& set) {
  std::vector<std::string> out;
  for (; env != nullptr && *env != nullptr; ++env) {
    std::string entry = *env;
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& [key, value] : set) {
      replaced = replaced || key == name;
    }
    if (!replaced) {
      out.push_back(std::move(entry));
    }
  }
  for (const auto& [key, value] : set) {
    out.push_back(key + "=" + value);
  }
  return out;
}

void SessionGuard::add(std::string path) {
  if (!path.empty()) {
    m_files.push_back(std::move(path));
  }
}

RawMode* SessionGuard::enterRaw(int fd) {
  return &m_raw.emplace(fd);
}

void SessionGuard::removeFiles() {
  for (const std::string& path : m_files) {
    platform::removeFile(path);
  }
  m_files.clear();
}

void SessionGuard::end() {
  if (m_raw) {
    m_raw->restore();
  }
  removeFiles();
}

void SessionGuard::endBySignal(int sig) {
  end();
  platform::dieBySignal(sig);
}

std::optional<int> runProxy(const ProxyRun& run, SessionGuard& guard) {
  bool tty = haveTTY();
  winsize size{};
  ::ioctl(STDIN_FILENO, TIOCGWINSZ, &size);
  termios userTerm{};
  bool haveTerm = tty && ::tcgetattr(STDIN_FILENO, &userTerm) == 0;

  platform::UniqueFd wakeRead, wakeWrite;
  if (!platform::makePipe(&wakeRead, &wakeWrite)) {
    base::logErr(std::string("✗ não consegui criar um pipe: ") + std::strerror(errno));
    return 1;
  }
  PtyChild child;
  {
    // Held until the handlers exist: a signal in between would find the terminal half set up.
    BlockSignals blocked{SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGCHLD, SIGWINCH};
    int err = 0;
    if (!startOnPty(run.argv, childEnvironment(environ, run.childEnv), run.execLabel,
                    haveTerm ? &userTerm : nullptr, size.ws_row != 0 ? &size : nullptr, &child,
                    &err)) {
      errno = err;
      base::logErr(std::string("✗ não consegui abrir um pseudo-terminal: ") + std::strerror(errno));
      return 1;
    }
    gMaster = child.master.get();
    armSignals({SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGCHLD, SIGWINCH}, wakeWrite.get());
  }
  // A terminal that went away must not kill us before the user's settings are back.
  ::signal(SIGPIPE, SIG_IGN);
  RelayFds fds{STDIN_FILENO, STDOUT_FILENO, child.master.get(), wakeRead.get(),
               guard.enterRaw(STDIN_FILENO)};
  if (run.start) {
    BlockSignals blocked{SIGTERM, SIGHUP, SIGCHLD, SIGWINCH, SIGINT, SIGQUIT, SIGPIPE};
    if (!run.start(child.master.get(), child.pid, size)) {
      guard.removeFiles();
    }
  }

  RelayEnd end = relay(fds, child.pid, run.observe);
  if (end.signal != 0) {
    int hangUp = run.hangUp != 0 ? run.hangUp : end.signal == SIGHUP ? SIGHUP : SIGTERM;
    ::kill(child.pid, hangUp);
    if (!end.status) {
      awaitChild(fds, child.pid, run.grace);
    }
    guard.endBySignal(end.signal);
  }
  if (!end.status) {
    end.status = awaitChild(fds, child.pid, std::chrono::seconds(2));
  }
  guard.end();
  // A serving thread may still be writing to the master: leave it open for the process's end.
  (void)child.master.release();
  if (!end.status) {
    return std::nullopt;
  }
  return WIFEXITED(*end.status) ? WEXITSTATUS(*end.status) : 128 + WTERMSIG(*end.status);
}

}  // namespace launcher
