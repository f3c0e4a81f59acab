#include "launcher/session.h"

#include "base/version.h"
#include "platform/posix.h"
#include "registry/registry.h"

namespace launcher {

std::vector<Json> matchingSessions(const std::vector<Json>& live, const std::string& cwd) {
  std::vector<Json> out;
  for (const auto& record : live) {
    auto it = record.find("cwd");
    if (it != record.end() && it->is_string() && it->get<std::string>() == cwd) {
      out.push_back(record);
    }
  }
  return out;
}

std::vector<pid_t> takeTargets(const std::vector<Json>& sessions) {
  std::vector<pid_t> pids;
  for (const auto& record : sessions) {
    for (const char* key : {"launcherPid", "pid"}) {
      auto pid = registry::integralNumber(record, key);
      if (pid && platform::signallablePid(*pid)) {
        pids.push_back(static_cast<pid_t>(*pid));
      }
    }
  }
  return pids;
}

EnvList sessionEnv(const Session& session) {
  EnvList env = {{"CV_LAUNCH_CWD", session.cwd}, {"CV_INSTANCE", session.instance}};
  if (!session.injectSock.empty()) {
    env.emplace_back("CV_INJECT_SOCK", session.injectSock);
  }
  env.emplace_back("CV_LAUNCHER_PID", std::to_string(session.launcherPid));
  if (session.port) {
    env.emplace_back("CV_CHANNEL_PORT", *session.port);
  }
  env.emplace_back("CV_CHANNEL_TOKEN", TOKEN_REFERENCE);
  return env;
}

Json mcpConfig(const std::string& command, const EnvList& env) {
  Json envObject = Json::object();
  for (const auto& [name, value] : env) {
    envObject[name] = value;
  }
  Json server = {{"command", command}, {"args", Json::array()}, {"env", envObject}};
  Json tools = {{"command", command}, {"args", Json::array()}, {"env", {{"CV_TOOLS_ONLY", "1"}}}};
  return {{"mcpServers", {{base::SERVER_NAME, server}, {base::TOOLS_SERVER_NAME, tools}}}};
}

std::vector<std::string> claudeArgv(const std::string& configText,
                                    const std::vector<std::string>& passthrough) {
  std::vector<std::string> argv = {"claude", "--dangerously-load-development-channels",
                                   std::string("server:") + base::SERVER_NAME,
                                   "--mcp-config=" + configText};
  argv.insert(argv.end(), passthrough.begin(), passthrough.end());
  return argv;
}

}  // namespace launcher
