#include "terminal/shell.h"

#include "base/log.h"
#include "base/terminal_text.h"
#include "launcher/inject.h"
#include "launcher/proxy.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "state/records.h"
#include "state/state.h"
#include "terminal/control.h"
#include "terminal/feeder.h"
#include "terminal/records.h"
#include "terminal/screen.h"

#include <chrono>
#include <memory>
#include <signal.h>
#include <sys/ioctl.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace terminal {
namespace {

constexpr int DEFAULT_ROWS = 24;
constexpr int DEFAULT_COLS = 80;

int refuse(const std::string& why) {
  base::logErr("✗ " + base::terminalSafe(why));
  return 1;
}

int64_t nowMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// The screen's feeder and the control socket's server; the proxy starts this with every signal
// blocked, so that they all reach the relay. Null when a thread cannot be made.
std::unique_ptr<Feeder> startThreads(platform::UniqueFd listener, Screen* screen, int master,
                                     pid_t shell) {
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
  launcher::SessionGuard guard;
  platform::UniqueFd listener;
  if (!launcher::openInject(*sockPath, &listener)) {
    return refuse("socket de controle " + *sockPath + " não pôde ser aberto");
  }
  guard.add(*sockPath);
  std::string recordPath = terminalsDir(stateDir) + "/" + record.id + ".json";
  std::string err;
  if (!state::writeRecord(recordPath, toJson(record), &err)) {
    return refuse(err);
  }
  guard.add(recordPath);

  auto shellVar = platform::envVar("SHELL");
  std::string shell = shellVar && !shellVar->empty() ? *shellVar : "/bin/sh";
  // Never destroyed, like the screen it draws on: the control thread may still use them while the
  // process ends.
  Feeder* feeder = nullptr;
  launcher::ProxyRun run{.argv = {shell},
                         .execLabel = "channel-server shell: execvp " + shell,
                         // A shell ignores SIGTERM; a hang-up is what ends it when its terminal
                         // goes. It has no screen of its own to put back.
                         .hangUp = SIGHUP,
                         .grace = std::chrono::milliseconds(0)};
  run.start = [&](int master, pid_t child, const winsize& size) {
    auto* screen = new Screen(size.ws_row != 0 ? size.ws_row : DEFAULT_ROWS,
                              size.ws_col != 0 ? size.ws_col : DEFAULT_COLS);
    feeder = startThreads(std::move(listener), screen, master, child).release();
    return feeder != nullptr;
  };
  run.observe = [&feeder](std::string_view bytes) {
    if (feeder != nullptr) {
      feeder->push(bytes);
    }
  };
  // The shell's status is 0 when it lost its terminal and did not end.
  return launcher::runProxy(run, guard).value_or(0);
}

}  // namespace terminal
