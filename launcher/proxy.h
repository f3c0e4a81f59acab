#pragma once

// The terminal proxy: runs claude on a pseudo-terminal between the user's terminal and claude, and
// lets local processes type into it through the session's inject socket.

#include "launcher/session.h"
#include "platform/unique_fd.h"

#include <string>
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

// Runs argv (argv[0] is "claude") under the proxy with this process's environment plus `childEnv`,
// which only the child sees, serving `inject` meanwhile. Returns claude's status (128 + signal
// when a signal ended it), 1 when the pseudo-terminal cannot be made. SIGTERM, SIGHUP,
// SIGINT and SIGQUIT end it too: claude gets SIGTERM (SIGHUP for SIGHUP) and up to 2 s to end,
// then the terminal is restored, the inject socket removed and the process ended by that signal.
int runProxy(const std::vector<std::string>& argv, const EnvList& childEnv, InjectSocket inject);

}  // namespace launcher
