#include "groups/group_cli.h"

#include "base/log.h"
#include "base/terminal_text.h"
#include "claude_files/index.h"
#include "claude_files/live.h"
#include "companion/names.h"
#include "groups/group_store.h"
#include "platform/files.h"
#include "state/state.h"

#include <cstdio>

namespace groups {
namespace {

constexpr const char* USAGE =
    "uso: channel-server group create|add|remove NOME PASTA... | channel-server group list";

int listGroups(const std::string& stateDir) {
  std::vector<Group> all = loadGroups(stateDir);
  if (all.empty()) {
    base::logErr("ℹ️ nenhum grupo; crie um com: channel-server group create NOME PASTA...");
    return 0;
  }
  std::string out = formatGroups(
      all, companion::sessionRefs(claude_files::readLiveSessions(claude_files::claudeDir()), {})
               .running);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

int failed(const std::string& line) {
  base::logErr("✗ " + base::terminalSafe(line));
  return 1;
}

}  // namespace

std::string formatGroups(const std::vector<Group>& all,
                         const std::vector<companion::SessionRef>& running) {
  using base::terminalSafe;
  std::string out;
  for (const Group& g : all) {
    out += terminalSafe(g.name) + "\n";
    for (const std::string& folder : g.folders) {
      out += "  " + terminalSafe(folder) + "\n";
      for (const companion::SessionRef& s : running) {
        if (isUnder(s.cwd, folder) && groupFor(all, s.cwd) == &g) {
          out += "    " + terminalSafe(s.name) + " (" + terminalSafe(s.cwd) + ")\n";
        }
      }
    }
  }
  return out;
}

int runGroupCommand(const std::vector<std::string>& args) {
  std::string stateDir = state::dir();
  if (stateDir.empty()) {
    return failed("não encontrei a pasta pessoal (HOME)");
  }
  if (args.size() == 1 && args[0] == "list") {
    return listGroups(stateDir);
  }
  const char* verbs[] = {"create", "add", "remove"};
  const Change changes[] = {Change::Create, Change::Add, Change::Remove};
  for (size_t v = 0; v < 3; ++v) {
    if (args.size() < 3 || args[0] != verbs[v]) {
      continue;
    }
    std::vector<std::string> folders;
    for (size_t i = 2; i < args.size(); ++i) {
      std::string path = platform::resolvePath(args[i]);
      // Removing a folder that has since gone must still work: take it as written.
      if (changes[v] == Change::Remove && path.empty() && !args[i].empty() && args[i][0] == '/') {
        path = args[i];
      }
      if (path.empty() || (changes[v] != Change::Remove && !platform::isDirectory(path)) ||
          path.find('\n') != std::string::npos) {
        return failed("pasta inválida: " + args[i]);
      }
      folders.push_back(path);
    }
    std::string err;
    if (!changeMembers(stateDir, args[1], changes[v], folders, &err)) {
      return failed(err);
    }
    const char* done[] = {"criado com", "recebeu", "perdeu"};
    base::logErr("✓ grupo " + args[1] + " " + done[v] + " " + std::to_string(folders.size()) +
                 (folders.size() == 1 ? " pasta" : " pastas"));
    return 0;
  }
  base::logErr(USAGE);
  return 2;
}

}  // namespace groups
