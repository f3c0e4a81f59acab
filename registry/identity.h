#pragma once

// Who this channel server is: read once from the environment at start-up and handed down to the
// listener, the record and the routes.

#include <cstdint>
#include <optional>
#include <string>

namespace registry {

struct Identity {
  std::string instanceID;
  std::string launchCwd;
  std::string projectName;
  uint16_t requestedPort = 0;               // 0: any free port
  std::optional<std::string> channelToken;  // CV_CHANNEL_TOKEN as given
  std::optional<std::string> injectSock;    // CV_INJECT_SOCK as given
  std::optional<std::string> launcherPid;   // CV_LAUNCHER_PID as given
};

}  // namespace registry
