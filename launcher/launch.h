#pragma once

#include <functional>
#include <string>
#include <vector>

namespace launcher {

// Launch mode: prepares a channel session for the current folder and runs claude under the proxy.
// `prepare` runs once dead records are pruned, before claude starts: what else must be ready.
// Returns the status to end with: claude's, or that of the failure whose line it wrote.
int runLaunch(bool take, const std::vector<std::string>& passthrough,
              const std::function<void()>& prepare);

// Absolute path of the running executable with every symbolic link resolved.
std::string realBinaryPath();

}  // namespace launcher
