#include "launcher/launch.h"

#include "base/json.h"
#include "base/log.h"
#include "base/terminal_text.h"
#include "channel/token.h"
#include "launcher/inject.h"
#include "launcher/proxy.h"
#include "launcher/session.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/posix.h"
#include "platform/text.h"
#include "registry/registry.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <signal.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace launcher {
namespace {

// How long --take waits for the sessions it ended: a proxy gives claude up to 2 s to go.
constexpr auto TAKE_WAIT = std::chrono::seconds(3);

// Returns once every signalled process has gone, or after TAKE_WAIT with a line naming those left.
void awaitGone(std::vector<std::pair<pid_t, const Json*>> signalled) {
  auto deadline = std::chrono::steady_clock::now() + TAKE_WAIT;
  for (;;) {
    std::erase_if(signalled,
                  [](const auto& s) { return !registry::isRecordProcess(s.first, *s.second); });
    if (signalled.empty() || std::chrono::steady_clock::now() >= deadline) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!signalled.empty()) {
    std::string pids;
    for (const auto& [pid, record] : signalled) {
      pids += " " + std::to_string(pid);
    }
    base::logErr("⚠️  --take: ainda de pé após 3 s, seguindo assim mesmo (pid" + pids + ")");
  }
}

void reportOrTake(bool take, const std::vector<Json>& sessions) {
  std::string count = std::to_string(sessions.size());
  if (!take) {
    base::logErr("ℹ️  Já existe sessão-canal nesta pasta (" + count + ").");
    base::logErr("   Subindo mais uma — cada uma tem porta e socket próprios.");
    base::logErr("   Use 'corvane-run --take' se a intenção era substituir a que está aberta.");
    return;
  }
  base::logErr("→ --take: encerrando " + count + " sessão(ões) desta pasta…");
  std::vector<std::pair<pid_t, const Json*>> signalled;
  for (const auto& record : sessions) {
    // The pid may have gone to another program since the listing.
    for (pid_t pid : takeTargets({record})) {
      if (registry::isRecordProcess(pid, record) && ::kill(pid, SIGTERM) == 0) {
        signalled.emplace_back(pid, &record);
      }
    }
  }
  awaitGone(std::move(signalled));
  registry::pruneRegistry();
}

// Bound now, before claude's configuration names it, so the server never announces a socket that
// does not exist. Only a stale socket of ours is removed to make room.
InjectSocket bindInject(const std::string& instance) {
  InjectSocket inject;
  std::string path = injectSockPath(instance);
  if (path.empty()) {
    base::logErr("ℹ️  sem socket de injeção: nenhuma pasta curta o bastante para ele");
    return inject;
  }
  if (registry::isOurInjectSocket(path)) {
    platform::removeFile(path);
  }
  if (openInject(path, &inject.listener)) {
    inject.path = path;
  }
  return inject;
}

// The proxy calls this with every signal blocked: the thread leaves them all to the relay.
bool startInjectThread(platform::UniqueFd listener) {
  try {
    std::thread(serveInject, std::move(listener)).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

// Output that is no terminal (claude -p, a pipe) gets claude's bytes untouched: no proxy, no
// banner, no inject socket. Returns only when the exec fails.
int execClaude(const std::vector<std::string>& argv, const EnvList& childEnv) {
  std::vector<std::string> env = childEnvironment(environ, childEnv);
  std::vector<char*> args = platform::cStrings(argv);
  std::vector<char*> envp = platform::cStrings(env);
  char** saved = environ;
  environ = envp.data();
  ::execvp(args[0], args.data());
  int err = errno;
  environ = saved;
  base::logErr("✗ corvane-run: não consegui executar o claude: " + std::string(std::strerror(err)));
  return 127;
}

}  // namespace

std::string realBinaryPath() {
  return platform::resolvePath(platform::executablePath());
}

int runLaunch(bool take, const std::vector<std::string>& passthrough,
              const std::function<void()>& prepare) {
  if (platform::findExecutable("claude", platform::envVar("PATH").value_or("/usr/bin:/bin"))
          .empty()) {
    base::logErr("✗ claude não está no PATH: instale o Claude Code ou ajuste o PATH.");
    return 127;
  }
  std::string cwd = platform::currentDir();
  registry::pruneRegistry();
  if (prepare) {
    prepare();
  }
  std::vector<Json> sessions = matchingSessions(registry::liveRegistry(), cwd);
  if (!sessions.empty()) {
    reportOrTake(take, sessions);
  }

  std::string instance = platform::randomUUID();
  bool direct = ::isatty(STDOUT_FILENO) == 0;
  InjectSocket inject = direct ? InjectSocket{} : bindInject(instance);
  SessionGuard guard;
  guard.add(inject.path);
  Session session{cwd, instance, inject.path, ::getpid(), platform::envVar("CV_CHANNEL_PORT")};
  // Only claude's environment carries the token; the configuration names it.
  auto token = platform::envVar("CV_CHANNEL_TOKEN");
  if (!token) {
    token = channel::readToken();
  }
  if (!token) {
    base::logErr("✗ não consegui ler /dev/urandom para gerar o token do canal.");
    return 1;
  }
  auto config = base::serialize(mcpConfig(realBinaryPath(), sessionEnv(session)));
  if (!config) {
    base::logErr("✗ não consegui montar a configuração --mcp-config do claude");
    return 1;
  }
  if (direct) {
    return execClaude(claudeArgv(*config, passthrough), {{"CV_CHANNEL_TOKEN", *token}});
  }
  base::logErr("corvane-run → claude + canal (projeto: " +
               base::terminalSafe(platform::lastPathComponent(cwd)) + ")");
  base::logErr("  responda '1' na confirmação do canal de desenvolvimento");
  ProxyRun run{.argv = claudeArgv(*config, passthrough),
               .childEnv = {{"CV_CHANNEL_TOKEN", *token}},
               .execLabel = "corvane-run: execvp claude"};
  run.start = [&inject](int, pid_t, const winsize&) {
    return !inject.listener || startInjectThread(std::move(inject.listener));
  };
  return runProxy(run, guard).value_or(1);
}

}  // namespace launcher
