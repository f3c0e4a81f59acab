#pragma once

// install-cli's second half: the thirteen tools in every claude session, registered at user scope
// through claude's own command (claude's files are only ever read here).

#include <string>
#include <string_view>
#include <vector>

namespace launcher {

enum class Registered { None, This, OtherChannelServer, Foreign };

struct ToolsRegistration {
  Registered kind = Registered::None;
  std::string command;  // what the registration runs, when there is one
};

// What the user-scope "mcpServers" of claude's configuration text says of corvane-tools, judged
// against `target` (this executable): text that is no JSON object counts as no registration.
// `resolve` turns a command into the file it runs.
ToolsRegistration judgeRegistration(std::string_view claudeJson, const std::string& target,
                                    std::string (*resolve)(const std::string&));

// claude mcp add --scope user corvane-tools -e CV_TOOLS_ONLY=1 -- <target>
std::vector<std::string> addCommand(const std::string& target);

// The argument vector as a person would type it into a POSIX shell.
std::string shellLine(const std::vector<std::string>& argv);

// Registers the tools server, re-points one of ours at another path, leaves anything else alone,
// and says what it did in one line (or the command to run when claude is not on PATH).
void registerTools(const std::string& target);

}  // namespace launcher
