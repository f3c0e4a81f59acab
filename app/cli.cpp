#include "app/cli.h"

#include "platform/text.h"

namespace app {

uint16_t parsePort(std::string_view text) {
  long long value = 0;
  if (!platform::parseDecimal(text, &value) || value < 0 || value > 65535) {
    return 0;
  }
  return static_cast<uint16_t>(value);
}

Dispatch dispatch(const std::string& programName, const std::vector<std::string>& args) {
  Dispatch d;
  if (!args.empty() && args[0] == "install-cli") {
    d.mode = Mode::InstallCLI;
    return d;
  }
  if (!args.empty() && args[0] == "shell") {
    d.mode = Mode::Shell;
    d.passthrough.assign(args.begin() + 1, args.end());
    return d;
  }
  bool launchWord = !args.empty() && args[0] == "launch";
  if (!launchWord && programName != "corvane-run") {
    return d;
  }
  d.mode = Mode::Launch;
  for (size_t i = launchWord ? 1 : 0; i < args.size(); ++i) {
    if (args[i] == "--take") {
      d.take = true;
    } else {
      d.passthrough.push_back(args[i]);
    }
  }
  return d;
}

}  // namespace app
