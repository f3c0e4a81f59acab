#include "app/process.h"

#include "app/cli.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "platform/text.h"

#include <cstdlib>

namespace app {

std::string& instanceID = *new std::string;
std::string& launchCwd = *new std::string;
std::string& projectName = *new std::string;
uint16_t requestedPort = 0;
std::atomic<uint16_t> channelPort{0};
std::mutex& stdoutLock = *new std::mutex;
std::optional<std::string>& channelToken = *new std::optional<std::string>;
std::string& gInstance = *new std::string;
std::atomic<const char*> gRegistryPath{nullptr};
const std::set<std::string>& wardenToolNames = *new std::set<std::string>{
    "list_sessions", "session_activity", "session_cost", "session_files"};
std::atomic<int> gMaster{-1};
std::string& argv0 = *new std::string;
std::vector<std::string>& cliArgs = *new std::vector<std::string>;

std::optional<std::string> envVar(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

bool envFlag(const char* name) {
  auto value = envVar(name);
  return value && *value == "1";
}

void initProcess(int argc, char** argv) {
  auto instance = envVar("CV_INSTANCE");
  // The identifier names files: anything that could leave the registry folder is replaced.
  instanceID = instance && isValidInstance(*instance) ? *instance : platform::randomUUID();
  auto cwd = envVar("CV_LAUNCH_CWD");
  launchCwd = cwd ? *cwd : platform::currentDir();
  projectName = platform::lastPathComponent(launchCwd);
  requestedPort = parsePort(envVar("CV_CHANNEL_PORT").value_or(""));
  channelPort = 0;
  channelToken.reset();
  gInstance.clear();
  gRegistryPath = nullptr;
  gMaster = -1;
  argv0 = argc > 0 && argv[0] != nullptr ? platform::lastPathComponent(argv[0]) : std::string();
  cliArgs.assign(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
}

}  // namespace app
