#include "app/cli.h"
#include "app/ending.h"
#include "app/process.h"
#include "app_companion/server.h"
#include "client/client.h"
#include "companion/starter.h"
#include "groups/group_cli.h"
#include "launcher/install.h"
#include "launcher/launch.h"
#include "notes/notes_cli.h"
#include "platform/posix.h"
#include "platform/text.h"
#include "server/server.h"
#include "terminal/records.h"
#include "terminal/shell.h"
#include "tools/sessions_cmd.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
  std::string argv0 =
      argc > 0 && argv[0] != nullptr ? platform::lastPathComponent(argv[0]) : std::string();
  std::vector<std::string> cliArgs(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
  app::Dispatch d = app::dispatch(argv0, cliArgs);
  int status = 0;
  int signal = 0;
  switch (d.mode) {
    case app::Mode::InstallCLI:
      status = launcher::runInstallCLI();
      break;
    case app::Mode::Launch:
      status = launcher::runLaunch(d.take, d.passthrough, [] {
        terminal::pruneTerminals(companion::stateDir());
        companion::startCompanion();
      });
      break;
    case app::Mode::Push:
      return client::runPush(d.passthrough);
    case app::Mode::Type:
      return client::runType(d.passthrough);
    case app::Mode::App:
      status = app_companion::runApp(&signal);
      break;
    case app::Mode::Sessions:
      status = tools::runSessions(d.passthrough);
      break;
    case app::Mode::Group:
      return groups::runGroupCommand(d.passthrough);
    case app::Mode::Notes:
      return notes::runNotesCommand(d.passthrough);
    case app::Mode::Shell:
      status = terminal::runShell(d.passthrough);
      break;
    case app::Mode::Server:
      app::endOnTerminationSignals();
      status = server::runServer(
          app::readIdentity(),
          {platform::envFlag("CV_TOOLS_ONLY"), platform::envFlag("CV_WARDEN_TOOLS")}, app::endWith);
      break;
  }
  app::endAfter(status, signal);
}
