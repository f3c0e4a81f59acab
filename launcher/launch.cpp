#include "launcher/launch.h"

#include "app/process.h"
#include "channel/token.h"
#include "launcher/proxy.h"
#include "launcher/session.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/posix.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "base/json.h"
#include "base/log.h"

#include <cstdlib>
#include <signal.h>
#include <unistd.h>

namespace launcher {
namespace {

void reportOrTake(bool take, const std::vector<Json>& sessions) {
  std::string count = std::to_string(sessions.size());
  if (!take) {
    base::logErr("ℹ️  Já existe sessão-canal nesta pasta (" + count + ").");
    base::logErr("   Subindo mais uma — cada uma tem porta e socket próprios.");
    base::logErr("   Use 'corvane-run --take' se a intenção era substituir a que está aberta.");
    return;
  }
  base::logErr("→ --take: encerrando " + count + " sessão(ões) desta pasta…");
  for (pid_t pid : takeTargets(sessions)) {
    ::kill(pid, SIGTERM);
  }
  ::usleep(400000);
  registry::pruneRegistry();
}

}  // namespace

std::string realBinaryPath() {
  return platform::resolvePath(platform::executablePath());
}

void runLaunch(bool take, const std::vector<std::string>& passthrough) {
  std::string cwd = platform::currentDir();
  registry::pruneRegistry();
  std::vector<Json> sessions = matchingSessions(registry::liveRegistry(), cwd);
  if (!sessions.empty()) {
    reportOrTake(take, sessions);
  }

  app::gInstance = platform::randomUUID();
  Session session{cwd, app::gInstance, injectSockPath(app::gInstance), ::getpid(),
                  app::envVar("CV_CHANNEL_PORT")};
  // Only claude's environment carries the token; the configuration names it.
  auto preset = app::envVar("CV_CHANNEL_TOKEN");
  std::string token = preset ? *preset : channel::makeToken();
  auto config = base::serialize(mcpConfig(realBinaryPath(), sessionEnv(session)));
  if (!config) {
    base::logErr("falha ao montar --mcp-config");
    std::exit(1);
  }
  base::logErr("corvane-run → claude + canal (projeto: " + platform::lastPathComponent(cwd) +
                 ")");
  base::logErr("  responda '1' na confirmação do canal de desenvolvimento · não use Ctrl-Z");
  runProxy(claudeArgv(*config, passthrough), {{"CV_CHANNEL_TOKEN", token}});
}

}  // namespace launcher
