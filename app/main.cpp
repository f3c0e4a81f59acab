#include "app/cli.h"
#include "app/process.h"
#include "app_companion/server.h"
#include "client/client.h"
#include "companion/starter.h"
#include "groups/group_cli.h"
#include "launcher/install.h"
#include "launcher/launch.h"
#include "notes/notes_cli.h"
#include "platform/posix.h"
#include "server/server.h"
#include "terminal/records.h"
#include "terminal/shell.h"
#include "tools/sessions_cmd.h"

int main(int argc, char** argv) {
  app::initProcess(argc, argv);
  app::Dispatch d = app::dispatch(app::argv0, app::cliArgs);
  switch (d.mode) {
    case app::Mode::InstallCLI:
      launcher::runInstallCLI();
    case app::Mode::Launch:
      launcher::runLaunch(d.take, d.passthrough, [] {
        terminal::pruneTerminals(companion::stateDir());
        companion::startCompanion();
      });
    case app::Mode::Push:
      return client::runPush(d.passthrough);
    case app::Mode::Type:
      return client::runType(d.passthrough);
    case app::Mode::App:
      platform::exitProcess(app_companion::runApp());
    case app::Mode::Sessions:
      platform::exitProcess(tools::runSessions(d.passthrough));
    case app::Mode::Group:
      return groups::runGroupCommand(d.passthrough);
    case app::Mode::Notes:
      return notes::runNotesCommand(d.passthrough);
    case app::Mode::Shell:
      terminal::runShell(d.passthrough);
    case app::Mode::Server:
      break;
  }
  server::runServer();
}
