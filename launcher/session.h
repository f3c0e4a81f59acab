#pragma once

// The pure half of the launch command: which sessions --take ends, the session's environment, the
// MCP configuration and claude's argument vector.

#include "base/json.h"

#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace launcher {

using base::Json;
using EnvList = std::vector<std::pair<std::string, std::string>>;

// What the configuration holds for CV_CHANNEL_TOKEN. claude expands it from its own environment,
// where the launcher puts the token, so the token is in no process's argument vector.
inline constexpr const char* TOKEN_REFERENCE = "${CV_CHANNEL_TOKEN}";

struct Session {
  std::string cwd;
  std::string instance;
  std::string injectSock;  // "" when the session has no inject socket
  long long launcherPid = 0;
  std::optional<std::string> port;  // CV_CHANNEL_PORT of the launcher, passed on when set
};

// Live records whose "cwd" is a string equal to `cwd`, in their order.
std::vector<Json> matchingSessions(const std::vector<Json>& live, const std::string& cwd);

// The pids --take sends SIGTERM to: per record "launcherPid", then "pid". Values that are not
// integral, below 2 or outside pid_t's range are left out, never truncated.
std::vector<pid_t> takeTargets(const std::vector<Json>& sessions);

// CV_LAUNCH_CWD, CV_INSTANCE, CV_INJECT_SOCK when there is one, CV_LAUNCHER_PID, CV_CHANNEL_PORT
// when set, and
// CV_CHANNEL_TOKEN as TOKEN_REFERENCE.
EnvList sessionEnv(const Session& session);

// {"mcpServers":{"corvane":{"command":…,"args":[],"env":{…}},
//  "corvane-tools":{"command":…,"args":[],"env":{"CV_TOOLS_ONLY":"1"}}}}: the session's tools come
// from a server of their own, which also stands in for a user-scope one of the same name.
Json mcpConfig(const std::string& command, const EnvList& env);

// claude's options take every following argument that does not start with "-", so the
// configuration is glued to its option: passthrough arguments can never be read as config files.
std::vector<std::string> claudeArgv(const std::string& configText,
                                    const std::vector<std::string>& passthrough);

}  // namespace launcher
