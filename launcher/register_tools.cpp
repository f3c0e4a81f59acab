#include "launcher/register_tools.h"

#include "base/json.h"
#include "base/log.h"
#include "base/version.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "platform/run.h"
#include "platform/text.h"

namespace launcher {
namespace {

// claude's own commands may wait on the network for a while; install-cli waits no longer.
constexpr int CLAUDE_TIMEOUT_MS = 60000;

// claude keeps its user scope in .claude.json: in CLAUDE_CONFIG_DIR when set, else in HOME.
std::string claudeConfigFile() {
  auto dir = platform::envVar("CLAUDE_CONFIG_DIR");
  return (dir && !dir->empty() ? *dir : platform::homeDir()) + "/.claude.json";
}

// A command named in claude's file is data: shown quoted and escaped, never as terminal bytes.
std::string shown(const std::string& text) {
  return base::Json(text).dump(-1, ' ', true, base::Json::error_handler_t::replace);
}

void sayCommand(const std::string& why, const std::string& target) {
  base::logErr(why);
  base::logErr("   " + shellLine(addCommand(target)));
}

bool runClaude(const std::vector<std::string>& argv, const std::string& target) {
  auto status = platform::runQuietly(argv, CLAUDE_TIMEOUT_MS);
  if (status == 0) {
    return true;
  }
  sayCommand("✗ '" + shellLine({argv.begin(), argv.begin() + 3}) + "' falhou (" +
                 (status ? "status " + std::to_string(*status) : std::string("não terminou")) +
                 "); para registrar as ferramentas, rode:",
             target);
  return false;
}

}  // namespace

ToolsRegistration judgeRegistration(std::string_view claudeJson, const std::string& target,
                                    std::string (*resolve)(const std::string&)) {
  base::Json config = base::parseJson(claudeJson);
  if (!config.is_object()) {
    return {};
  }
  auto servers = config.find("mcpServers");
  if (servers == config.end() || !servers->is_object()) {
    return {};
  }
  auto entry = servers->find(base::TOOLS_SERVER_NAME);
  if (entry == servers->end()) {
    return {};
  }
  auto command = entry->is_object() ? entry->find("command") : entry->end();
  if (command == entry->end() || !command->is_string()) {
    return {Registered::Foreign, ""};
  }
  std::string named = command->get<std::string>();
  if (named == target || resolve(named) == target) {
    return {Registered::This, named};
  }
  bool ours = platform::lastPathComponent(named) == "channel-server";
  return {ours ? Registered::OtherChannelServer : Registered::Foreign, named};
}

std::vector<std::string> addCommand(const std::string& target) {
  return {"claude", "mcp", "add", "--scope", "user", base::TOOLS_SERVER_NAME,
          "-e", "CV_TOOLS_ONLY=1", "--", target};
}

std::string shellLine(const std::vector<std::string>& argv) {
  std::string line;
  for (const auto& arg : argv) {
    bool plain = !arg.empty() && arg.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQ"
                                                       "RSTUVWXYZ0123456789-_./=+:,@%") ==
                                     std::string::npos;
    std::string quoted = "'";
    for (char c : arg) {
      quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    line += (line.empty() ? "" : " ") + (plain ? arg : quoted + "'");
  }
  return line;
}

void registerTools(const std::string& target) {
  if (platform::findExecutable("claude", platform::envVar("PATH").value_or("")).empty()) {
    sayCommand("ℹ️  claude não está no PATH; para ter as ferramentas em toda sessão, rode:", target);
    return;
  }
  auto text = platform::readRegularFile(claudeConfigFile(), nullptr, nullptr, 64 << 20);
  auto found = judgeRegistration(text.value_or(""), target, platform::resolvePath);
  switch (found.kind) {
    case Registered::This:
      base::logErr("✓ ferramentas já registradas no claude: corvane-tools → " + shown(target));
      return;
    case Registered::Foreign:
      base::logErr("ℹ️  o corvane-tools do claude roda outro programa (" + shown(found.command) +
                   "): deixei como está");
      return;
    case Registered::OtherChannelServer:
      if (!runClaude({"claude", "mcp", "remove", base::TOOLS_SERVER_NAME, "-s", "user"}, target) ||
          !runClaude(addCommand(target), target)) {
        return;
      }
      base::logErr("✓ corvane-tools re-apontado no claude: " + shown(found.command) + " → " +
                   shown(target));
      return;
    case Registered::None:
      if (runClaude(addCommand(target), target)) {
        base::logErr("✓ ferramentas registradas no claude para toda sessão: corvane-tools → " +
                     shown(target));
      }
      return;
  }
}

}  // namespace launcher
