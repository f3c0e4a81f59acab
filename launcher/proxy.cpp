#include "launcher/proxy.h"

#include "app/process.h"
#include "launcher/inject.h"
#include "launcher/pty_relay.h"
#include "launcher/terminal.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "registry/registry.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <signal.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace launcher {
namespace {

// Starts the inject thread with every signal blocked, so they all reach the main loop.
bool startInjectThread(platform::UniqueFd listener) {
  BlockSignals blocked{SIGTERM, SIGHUP, SIGCHLD, SIGWINCH, SIGINT, SIGPIPE};
  try {
    std::thread(serveInject, std::move(listener)).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

[[noreturn]] void dieBy(int sig) {
  ::signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(sig);
  ::_exit(128 + sig);
}

}  // namespace

std::string injectSockPath(const std::string& instance) {
  return registry::stateDir() + "/inject-" + instance.substr(0, 8) + ".sock";
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

void runProxy(const std::vector<std::string>& argv, const EnvList& childEnv) {
  bool tty = haveTTY();
  winsize size{};
  ::ioctl(STDIN_FILENO, TIOCGWINSZ, &size);
  termios userTerm{};
  bool haveTerm = tty && ::tcgetattr(STDIN_FILENO, &userTerm) == 0;

  platform::UniqueFd wakeRead, wakeWrite;
  if (!platform::makePipe(&wakeRead, &wakeWrite)) {
    std::perror("pipe");
    std::exit(1);
  }
  PtyChild child;
  {
    // Held until the handlers exist: a signal in between would find the terminal half set up.
    BlockSignals blocked{SIGTERM, SIGHUP, SIGCHLD, SIGWINCH};
    int err = 0;
    if (!startOnPty(argv, childEnvironment(environ, childEnv), "corvane-run: execvp claude",
                    haveTerm ? &userTerm : nullptr, size.ws_row != 0 ? &size : nullptr, &child,
                    &err)) {
      errno = err;
      std::perror("forkpty");
      std::exit(1);
    }
    app::gMaster = child.master.get();
    armSignals({SIGTERM, SIGHUP, SIGCHLD, SIGWINCH}, wakeWrite.get());
  }
  // A terminal that went away must not kill us before the user's settings are back.
  ::signal(SIGPIPE, SIG_IGN);
  RawMode raw{STDIN_FILENO};

  const std::string& instance = app::gInstance.empty() ? app::instanceID : app::gInstance;
  std::string sockPath = injectSockPath(instance);
  platform::removeFile(sockPath);
  platform::UniqueFd listener;
  if (openInject(sockPath, &listener) && !startInjectThread(std::move(listener))) {
    platform::removeFile(sockPath);
  }

  RelayEnd end =
      relay({STDIN_FILENO, STDOUT_FILENO, child.master.get(), wakeRead.get()}, child.pid);

  // Restore before unlinking: a slow unlink must not leave the user's terminal raw.
  raw.restore();
  platform::removeFile(sockPath);
  if (end.signal != 0) {
    dieBy(end.signal);
  }
  std::exit(0);
}

}  // namespace launcher
