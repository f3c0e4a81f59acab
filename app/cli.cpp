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

bool isValidInstance(std::string_view text) {
  if (text.empty() || text.size() > 64) {
    return false;
  }
  for (char c : text) {
    bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    if (!ok) {
      return false;
    }
  }
  return true;
}

Dispatch dispatch(const std::string& programName, const std::vector<std::string>& args) {
  Dispatch d;
  if (!args.empty() && args[0] == "install-cli") {
    d.mode = Mode::InstallCLI;
    return d;
  }
  if (!args.empty() && programName != "corvane-run" && (args[0] == "push" || args[0] == "type")) {
    d.mode = args[0] == "push" ? Mode::Push : Mode::Type;
  // The companion and its table; as corvane-run these words stay a prompt for claude.
  if (!args.empty() && (args[0] == "app" || args[0] == "sessions") &&
      programName != "corvane-run") {
    d.mode = args[0] == "app" ? Mode::App : Mode::Sessions;
  // corvane-run hands every other word to claude as its prompt.
  if (!args.empty() && programName != "corvane-run" && (args[0] == "group" || args[0] == "notes")) {
    d.mode = args[0] == "group" ? Mode::Group : Mode::Notes;
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
