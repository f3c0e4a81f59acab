#include "app/process.h"

#include "app/cli.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "platform/text.h"

namespace app {

std::string chooseInstance(const std::optional<std::string>& given) {
  return given && isValidInstance(*given) ? *given : platform::randomUUID();
}

registry::Identity readIdentity() {
  registry::Identity id;
  id.instanceID = chooseInstance(platform::envVar("CV_INSTANCE"));
  auto cwd = platform::envVar("CV_LAUNCH_CWD");
  id.launchCwd = cwd ? *cwd : platform::currentDir();
  id.projectName = platform::lastPathComponent(id.launchCwd);
  id.requestedPort = parsePort(platform::envVar("CV_CHANNEL_PORT").value_or(""));
  id.channelToken = platform::envVar("CV_CHANNEL_TOKEN");
  id.injectSock = platform::envVar("CV_INJECT_SOCK");
  id.launcherPid = platform::envVar("CV_LAUNCHER_PID");
  return id;
}

}  // namespace app
