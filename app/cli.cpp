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

const Command* findCommand(std::string_view word) {
  for (const Command& c : commands()) {
    if (c.word == word) {
      return &c;
    }
  }
  return nullptr;
}

Dispatch dispatch(const std::string& programName, const std::vector<std::string>& args,
                  bool stdinTerminal) {
  Dispatch d;
  bool asRun = programName == "corvane-run";
  // As corvane-run every word stays a prompt for claude, install-cli aside.
  if (asRun && !args.empty() && args[0] == "install-cli") {
    d.mode = Mode::InstallCLI;
    d.passthrough.assign(args.begin() + 1, args.end());
    return d;
  }
  if (!asRun && args.empty()) {
    return d;
  }
  std::string word = asRun ? std::string() : args[0];
  if (word == "help" || word == "--help" || word == "-h") {
    d.mode = Mode::Help;
    d.passthrough.assign(args.begin() + 1, args.end());
    return d;
  }
  if (word == "--version") {
    d.mode = Mode::Version;
    return d;
  }
  const Command* cmd = asRun ? findCommand("launch") : findCommand(word);
  if (cmd == nullptr) {
    d.mode = stdinTerminal ? Mode::Usage : Mode::Server;
    return d;
  }
  if (!asRun && args.size() > 1 && (args[1] == "--help" || args[1] == "-h")) {
    d.mode = Mode::Help;
    d.passthrough = {args[0]};
    return d;
  }
  d.mode = cmd->mode;
  size_t first = asRun && !args.empty() && args[0] == "launch" ? 1 : (asRun ? 0 : 1);
  for (size_t i = first; i < args.size(); ++i) {
    if (d.mode == Mode::Launch && args[i] == "--take") {
      d.take = true;
    } else {
      d.passthrough.push_back(args[i]);
    }
  }
  return d;
}

}  // namespace app
