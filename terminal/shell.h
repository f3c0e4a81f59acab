#pragma once

// `channel-server shell [--name NAME]`: the user's shell on a pseudo-terminal under the launcher's
// proxy, whose screen the sessions of the same folder can read and type into.

#include <optional>
#include <string>
#include <vector>

namespace terminal {

struct ShellArgs {
  std::optional<std::string> name;
  std::string error;  // non-empty when the arguments are refused
};

ShellArgs parseShellArgs(const std::vector<std::string>& args);

// The name a new terminal in `folder` takes: `requested` or the folder's last component, made
// unique among the live terminals open there.
std::string terminalName(const std::string& stateDir, const std::string& folder,
                         const std::optional<std::string>& requested);

// Runs $SHELL (else /bin/sh) in the current folder until it ends and returns its status (1 after
// the line of a start-up failure); a SIGTERM, SIGHUP, SIGINT or SIGQUIT ends the process by that
// signal. The record and control socket go on every path.
int runShell(const std::vector<std::string>& args);

}  // namespace terminal
