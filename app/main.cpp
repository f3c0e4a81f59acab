#include "app/cli.h"
#include "app/process.h"
#include "launcher/install.h"
#include "launcher/launch.h"
#include "server/server.h"
#include "terminal/shell.h"

int main(int argc, char** argv) {
  app::initProcess(argc, argv);
  app::Dispatch d = app::dispatch(app::argv0, app::cliArgs);
  switch (d.mode) {
    case app::Mode::InstallCLI:
      launcher::runInstallCLI();
    case app::Mode::Launch:
      launcher::runLaunch(d.take, d.passthrough);
    case app::Mode::Shell:
      terminal::runShell(d.passthrough);
    case app::Mode::Server:
      break;
  }
  server::runServer();
}
