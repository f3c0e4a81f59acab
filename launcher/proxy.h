#pragma once

// The terminal proxy: runs claude on a pseudo-terminal between the user's terminal and claude, and
// lets local processes type into it through the session's inject socket.

#include "launcher/session.h"

#include <string>
#include <vector>

namespace launcher {

// stateDir() + "/inject-" + the first 8 characters of `instance` (all of a shorter one) + ".sock".
std::string injectSockPath(const std::string& instance);

// Standard input is a terminal.
bool haveTTY();

// `environ` with the variables of `set` replacing or joining its entries.
std::vector<std::string> childEnvironment(const char* const* environ, const EnvList& set);

// Runs argv (argv[0] is "claude") under the proxy with this process's environment plus `childEnv`,
// which only the child sees. Ends with status 0 when claude ends, status 1 when the pseudo-terminal
// cannot be made; a SIGTERM or SIGHUP restores the terminal, removes the inject socket and then
// ends the process by that signal.
[[noreturn]] void runProxy(const std::vector<std::string>& argv, const EnvList& childEnv);

}  // namespace launcher
