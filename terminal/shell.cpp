#include "terminal/shell.h"

#include "base/log.h"
#include "base/terminal_text.h"
#include "launcher/inject.h"
#include "launcher/proxy.h"
#include "launcher/pty_relay.h"
#include "launcher/terminal.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "state/records.h"
#include "state/state.h"
#include "terminal/control.h"
#include "terminal/feeder.h"
#include "terminal/records.h"
#include "terminal/screen.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <system_error>
#include <termios.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace terminal {
namespace {

constexpr int DEFAULT_ROWS = 24;
constexpr int DEFAULT_COLS = 80;
constexpr int REAP_TRIES = 200;  // a second at most

int refuse(const std::string& why) {
  base::logErr("✗ " + base::terminalSafe(why));
  return 1;
}

int64_t nowMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// The record and the socket of this terminal; remove() is called on every way out.
struct Registration {
  std::string recordPath;
  std::string socketPath;
  void remove() const {
    platform::removeFile(socketPath);
    platform::removeFile(recordPath);
  }
};

// The screen's feeder and the control socket's server, started with every signal blocked so that
// they all reach the relay. Null when a thread cannot be made.
std::unique_ptr<Feeder> startThreads(platform::UniqueFd listener, Screen* screen, int master,
                                     pid_t shell) {
  launcher::BlockSignals blocked{SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGCHLD, SIGWINCH, SIGPIPE};
  try {
    auto feeder = std::make_unique<Feeder>(screen, master);
    std::thread([fd = std::move(listener), screen, master, shell, f = feeder.get()]() mutable {
      serveControl(std::move(fd), screen, master, shell, f);
    }).detach();
    return feeder;
  } catch (const std::system_error&) {
    return nullptr;
  }
}

// The shell's own status; the relay may have ended on its terminal closing, just before it exited.
int exitStatus(const launcher::RelayEnd& end, pid_t shell) {
  std::optional<int> st = end.status;
  for (int i = 0; !st && i < REAP_TRIES; ++i) {
    int raw = 0;
    if (::waitpid(shell, &raw, WNOHANG) == shell) {
      st = raw;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  if (!st) {
    return 0;
  }
  return WIFEXITED(*st) ? WEXITSTATUS(*st) : WIFSIGNALED(*st) ? 128 + WTERMSIG(*st) : 0;
}

}  // namespace

ShellArgs parseShellArgs(const std::vector<std::string>& args) {
  ShellArgs out;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--name" && i + 1 < args.size()) {
      out.name = args[++i];
    } else if (a.rfind("--name=", 0) == 0) {
      out.name = a.substr(7);
    } else {
      out.error = "argumento inesperado: " + a + " (uso: channel-server shell [--name NOME])";
      return out;
    }
    if (out.name->empty() || out.name->find_first_of("/\n\r") != std::string::npos) {
      out.error = "nome de terminal inválido: " + *out.name;
      return out;
    }
  }
  return out;
}

std::string terminalName(const std::string& stateDir, const std::string& folder,
                         const std::optional<std::string>& requested) {
  std::string base = requested.value_or(folder.substr(folder.rfind('/') + 1));
  if (base.empty()) {
    base = "/";
  }
  std::vector<std::string> taken;
  for (const Record& r : listTerminals(stateDir)) {
    if (r.folder == folder && terminalAlive(r)) {
      taken.push_back(r.name);
    }
  }
  return uniqueName(base, taken);
}

int runShell(const std::vector<std::string>& args) {
  ShellArgs parsed = parseShellArgs(args);
  if (!parsed.error.empty()) {
    refuse(parsed.error);
    return 2;
  }
  std::string folder = platform::currentDir();
  if (folder.empty()) {
    return refuse("pasta atual desconhecida");
  }
  std::string stateDir = state::dir();
  pruneTerminals(stateDir);
  Record record{platform::randomUUID(),
                terminalName(stateDir, folder, parsed.name),
                folder,
                ::getpid(),
                "",
                nowMillis(),
                state::ownExecutable()};
  auto sockPath = controlSocketPath(stateDir, record.id);
  if (!sockPath) {
    return refuse("nenhuma pasta serve para o socket de controle do terminal");
  }
  record.controlSocket = *sockPath;
  Registration reg{terminalsDir(stateDir) + "/" + record.id + ".json", *sockPath};
  platform::UniqueFd listener;
  if (!launcher::openInject(reg.socketPath, &listener)) {
    return refuse("socket de controle " + reg.socketPath + " não pôde ser aberto");
  }
  std::string err;
  if (!state::writeRecord(reg.recordPath, toJson(record), &err)) {
    reg.remove();
    return refuse(err);
  }

  bool tty = launcher::haveTTY();
  winsize size{};
  ::ioctl(STDIN_FILENO, TIOCGWINSZ, &size);
  termios userTerm{};
  bool haveTerm = tty && ::tcgetattr(STDIN_FILENO, &userTerm) == 0;
  auto shellVar = platform::envVar("SHELL");
  std::string shell = shellVar && !shellVar->empty() ? *shellVar : "/bin/sh";

  platform::UniqueFd wakeRead, wakeWrite;
  if (!platform::makePipe(&wakeRead, &wakeWrite)) {
    reg.remove();
    base::logErr(std::string("✗ não consegui criar um pipe: ") + std::strerror(errno));
    return 1;
  }
  launcher::PtyChild child;
  {
    launcher::BlockSignals blocked{SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGCHLD, SIGWINCH};
    int e = 0;
    if (!launcher::startOnPty({shell}, launcher::childEnvironment(environ, {}),
                              "channel-server shell: execvp " + shell,
                              haveTerm ? &userTerm : nullptr, size.ws_row != 0 ? &size : nullptr,
                              &child, &e)) {
      reg.remove();
      errno = e;
      base::logErr(std::string("✗ não consegui abrir um pseudo-terminal: ") + std::strerror(errno));
      return 1;
    }
    launcher::gMaster = child.master.get();
    launcher::armSignals({SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGCHLD, SIGWINCH}, wakeWrite.get());
  }
  ::signal(SIGPIPE, SIG_IGN);
  launcher::RawMode raw{STDIN_FILENO};

  // Never destroyed, like the feeder that draws on it.
  Screen& screen = *new Screen(size.ws_row != 0 ? size.ws_row : DEFAULT_ROWS,
                               size.ws_col != 0 ? size.ws_col : DEFAULT_COLS);
  int master = child.master.get();
  // Never destroyed: the control thread may still use it while the process ends.
  Feeder* feeder = startThreads(std::move(listener), &screen, master, child.pid).release();
  if (feeder == nullptr) {
    reg.remove();
  }
  launcher::RelayEnd end =
      launcher::relay({STDIN_FILENO, STDOUT_FILENO, master, wakeRead.get(), &raw}, child.pid,
                      [feeder](std::string_view bytes) {
                        if (feeder != nullptr) {
                          feeder->push(bytes);
                        }
                      });

  raw.restore();
  reg.remove();
  if (end.signal != 0) {
    // A shell ignores SIGTERM; a hang-up is what ends it when its terminal goes.
    ::kill(child.pid, SIGHUP);
    platform::dieBySignal(end.signal);
  }
  // The control thread may still be typing into the master: leave it open for the process's end.
  (void)child.master.release();
  return exitStatus(end, child.pid);
}

}  // namespace terminal
