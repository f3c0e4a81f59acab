#pragma once

#include <string>
#include <vector>

namespace launcher {

// Launch mode: prepares a channel session for the current folder and runs claude under the proxy.
[[noreturn]] void runLaunch(bool take, const std::vector<std::string>& passthrough);

// Absolute path of the running executable with every symbolic link resolved.
std::string realBinaryPath();

}  // namespace launcher
