#include "launcher/install.h"

#include "server/output.h"

#include <cstdlib>

namespace launcher {

void runInstallCLI() {
  server::logErr("install-cli: not yet available");
  std::exit(1);
}

}  // namespace launcher
