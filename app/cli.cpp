#include "app/cli.h"

#include "platform/text.h"

#include <utility>

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
  // The commands a person runs; as corvane-run every word stays a prompt for claude.
  static constexpr std::pair<std::string_view, Mode> COMMANDS[] = {
      {"push", Mode::Push},   {"type", Mode::Type},
      {"app", Mode::App},     {"sessions", Mode::Sessions},
      {"group", Mode::Group}, {"notes", Mode::Notes},
      {"shell", Mode::Shell}, {"statusline", Mode::Statusline}};
  for (const auto& [word, mode] : COMMANDS) {
    if (args.empty() || programName == "corvane-run" || args[0] != word) {
      continue;
    }
    d.mode = mode;
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
