#pragma once

// The terminal proxy: runs a program on a pseudo-terminal between the user's terminal and it, for
// claude (whose session local processes type into through the inject socket) and for `shell`.

#include "launcher/pty_relay.h"
#include "launcher/session.h"
#include "launcher/tty_mode.h"
#include "platform/unique_fd.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace launcher {

// `dir` + "/inject-" + the first 8 characters of `instance` (all of a shorter one) + ".sock", or ""
// when `dir` is empty or that path does not fit sun_path.
std::string injectPathIn(const std::string& dir, const std::string& instance);

// inject-<8 chars>.sock in ~/.corvane, else in the short runtime folder (state::socketPath): a deep
// HOME moves the socket to a short private folder rather than leaving the session without one. ""
// when neither fits.
std::string injectSockPath(const std::string& instance);

// The inject socket the launcher bound before naming it in claude's configuration.
struct InjectSocket {
  std::string path;  // "" for none
  platform::UniqueFd listener;
};

// Standard input is a terminal.
bool haveTTY();

// `environ` with the variables of `set` replacing or joining its entries.
std::vector<std::string> childEnvironment(const char* const* environ, const EnvList& set);

// What a session made for as long as it runs (sockets, records) and the user's terminal in raw
// mode, undone once on whichever way the session ends: the terminal first, so that a slow unlink
// never leaves it raw, then the files in the order they were added.
class SessionGuard {
 public:
  SessionGuard() = default;
  ~SessionGuard() { end(); }
  SessionGuard(const SessionGuard&) = delete;
  SessionGuard& operator=(const SessionGuard&) = delete;

  void add(std::string path);  // "" is ignored
  RawMode* enterRaw(int fd);
  void removeFiles();  // at once, as when nothing serves the sockets any more
  void end();
  [[noreturn]] void endBySignal(int sig);

 private:
  std::optional<RawMode> m_raw;
  std::vector<std::string> m_files;
};

// A program to run under the proxy, and what its session adds to the relay.
struct ProxyRun {
  std::vector<std::string> argv{};  // argv[0] is searched on the PATH
  EnvList childEnv{};               // joins this process's environment, for the child only
  std::string execLabel{};          // the child prints "<execLabel>: <reason>" when exec fails
  // Sent to the child when a signal ends the proxy; 0: SIGTERM, or SIGHUP after a SIGHUP.
  int hangUp = 0;
  // How long the child then has to end, its output still passed on (claude puts the screen back).
  std::chrono::milliseconds grace{2000};
  // Called once the child runs, with every signal blocked so that the threads it starts leave them
  // all to the relay. False when what serves the session cannot start: the guard's files go now.
  std::function<bool(int master, pid_t child, const winsize& size)> start{};
  OutputObserver observe{};  // each block the child prints, once the user's terminal has it
};

// Runs `run` until the child ends, and returns its status (128 + signal when a signal ended it), 1
// when the pseudo-terminal cannot be made, nullopt when the child lost its terminal but had not
// ended 2 s later. SIGTERM, SIGHUP, SIGINT and SIGQUIT end it too: the child gets run.hangUp and
// run.grace to end, then `guard` ends and the process is ended by that signal.
std::optional<int> runProxy(const ProxyRun& run, SessionGuard& guard);

}  // namespace launcher
