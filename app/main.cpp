#include "app/cli.h"
#include "app/ending.h"
#include "app/help.h"
#include "app/process.h"
#include "base/log.h"
#include "base/version.h"
#include "channel/log_text.h"
#include "client/client.h"
#include "companion/server.h"
#include "groups/group_cli.h"
#include "launcher/install.h"
#include "launcher/launch.h"
#include "notes/notes_cli.h"
#include "platform/posix.h"
#include "platform/text.h"
#include "query/starter.h"
#include "server/server.h"
#include "sessions/sessions_cmd.h"
#include "state/state.h"
#include "statusline/statusline.h"
#include "terminal/records.h"
#include "terminal/shell.h"

#include <string>
#include <unistd.h>
#include <vector>

namespace {

int print(const std::string& text) {
  return platform::writeAll(STDOUT_FILENO, text.data(), text.size()) ? 0 : 1;
}

int usage(const std::string& why, const std::string& text) {
  base::logErr("✗ " + why);
  base::logErr(text.substr(0, text.size() - 1));
  return 2;
}

int help(const std::vector<std::string>& args) {
  if (args.empty()) {
    return print(app::helpScreen());
  }
  const app::Command* cmd = app::findCommand(args[0]);
  return cmd ? print(app::commandHelp(*cmd))
             : usage("comando desconhecido: " + channel::escapeControls(args[0]),
                     app::helpScreen());
}

int completion(const std::vector<std::string>& args) {
  auto script = args.size() == 1 ? app::completionScript(args[0]) : std::nullopt;
  return script ? print(*script)
                : usage("diga o shell: bash, zsh ou fish",
                        app::commandHelp(*app::findCommand("completion")));
}

}  // namespace

int main(int argc, char** argv) {
  std::string argv0 =
      argc > 0 && argv[0] != nullptr ? platform::lastPathComponent(argv[0]) : std::string();
  std::vector<std::string> cliArgs(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
  app::Dispatch d = app::dispatch(argv0, cliArgs, ::isatty(STDIN_FILENO) != 0);
  int status = 0;
  int signal = 0;
  switch (d.mode) {
    case app::Mode::Help:
      return help(d.passthrough);
    case app::Mode::Version:
      return print(std::string("channel-server ") + base::SERVER_VERSION + "\n");
    case app::Mode::Usage:
      return usage("comando desconhecido: " + channel::escapeControls(cliArgs[0]),
                   app::helpScreen());
    case app::Mode::Completion:
      return completion(d.passthrough);
    case app::Mode::InstallCLI:
      if (!d.passthrough.empty()) {
        return usage("install-cli não leva argumentos",
                     app::commandHelp(*app::findCommand("install-cli")));
      }
      status = launcher::runInstallCLI(app::completionScript);
      break;
    case app::Mode::Launch:
      status = launcher::runLaunch(d.take, d.passthrough, [] {
        terminal::pruneTerminals(state::dir());
        query::startCompanion();
      });
      break;
    case app::Mode::Push:
      return client::runPush(d.passthrough);
    case app::Mode::Type:
      return client::runType(d.passthrough);
    case app::Mode::App:
      status = companion::runApp(&signal);
      break;
    case app::Mode::Sessions:
      status = sessions::runSessions(d.passthrough);
      break;
    case app::Mode::Group:
      return groups::runGroupCommand(d.passthrough);
    case app::Mode::Notes:
      return notes::runNotesCommand(d.passthrough);
    case app::Mode::Shell:
      status = terminal::runShell(d.passthrough);
      break;
    case app::Mode::Statusline:
      return statusline::runStatusline(d.passthrough);
    case app::Mode::Server:
      app::endOnTerminationSignals();
      status = server::runServer(
          app::readIdentity(),
          {platform::envFlag("CV_TOOLS_ONLY"), platform::envFlag("CV_WARDEN_TOOLS")}, app::endWith);
      break;
  }
  app::endAfter(status, signal);
}
