#include "launcher/launch.h"

#include "server/output.h"

#include <cstdlib>

namespace launcher {

void runLaunch(bool, const std::vector<std::string>&) {
  server::logErr("launch: not yet available");
  std::exit(1);
}

}  // namespace launcher
