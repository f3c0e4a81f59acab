#include "launcher/proxy.h"

#include "base/log.h"
#include "launcher/inject.h"
#include "launcher/pty_relay.h"
#include "launcher/terminal.h"
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
#include <system_error>
#include <termios.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace launcher {
namespace {

// Starts the inject thread with every signal blocked, so they all reach the main loop.
bool startInjectThread(platform::UniqueFd listener) {
  BlockSignals blocked{SIGTERM, SIGHUP, SIGCHLD, SIGWINCH, SIGINT, SIGQUIT, SIGPIPE};
  try {
    std::thread(serveInject, std::move(listener)).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace

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

int runProxy(const std::vector<std::string>& argv, const EnvList& childEnv, InjectSocket inject) {
  bool tty = haveTTY();
  winsize size{};
  ::ioctl(STDIN_FILENO, TIOCGWINSZ, &size);
  termios userTerm{};
  bool haveTerm = tty && ::tcgetattr(STDIN_FILENO, &userTerm) == 0;

  platform::UniqueFd wakeRead, wakeWrite;
  if (!platform::makePipe(&wakeRead, &wakeWrite)) {
    base::logErr(std::string("✗ não consegui criar um pipe: ") + std::strerror(errno));
    platform::removeFile(inject.path);
    return 1;
  }
  PtyChild child;
  {
    // Held until the handlers exist: a signal in between would find the terminal half set up.
    BlockSignals blocked{SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGCHLD, SIGWINCH};
    int err = 0;
    if (!startOnPty(argv, childEnvironment(environ, childEnv), "corvane-run: execvp claude",
                    haveTerm ? &userTerm : nullptr, size.ws_row != 0 ? &size : nullptr, &child,
                    &err)) {
      errno = err;
      base::logErr(std::string("✗ não consegui abrir um pseudo-terminal: ") + std::strerror(errno));
      platform::removeFile(inject.path);
      return 1;
    }
    gMaster = child.master.get();
    armSignals({SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGCHLD, SIGWINCH}, wakeWrite.get());
  }
  // A terminal that went away must not kill us before the user's settings are back.
  ::signal(SIGPIPE, SIG_IGN);
  RawMode raw{STDIN_FILENO};

  if (inject.listener && !startInjectThread(std::move(inject.listener))) {
    platform::removeFile(inject.path);
  }

  RelayFds fds{STDIN_FILENO, STDOUT_FILENO, child.master.get(), wakeRead.get(), &raw};
  RelayEnd end = relay(fds, child.pid);
  if (end.signal != 0) {
    ::kill(child.pid, end.signal == SIGHUP ? SIGHUP : SIGTERM);
  }
  if (!end.status) {
    end.status = awaitChild(fds, child.pid, std::chrono::seconds(2));
  }

  // Restore before unlinking: a slow unlink must not leave the user's terminal raw.
  raw.restore();
  platform::removeFile(inject.path);
  if (end.signal != 0) {
    platform::dieBySignal(end.signal);
  }
  // The inject thread may still be writing to the master: leave it open for the process's end.
  (void)child.master.release();
  if (!end.status) {
    return 1;
  }
  return WIFEXITED(*end.status) ? WEXITSTATUS(*end.status) : 128 + WTERMSIG(*end.status);
}

}  // namespace launcher
