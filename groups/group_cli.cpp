#include "groups/group_cli.h"

#include "base/log.h"
#include "base/terminal_text.h"
#include "claude_files/index.h"
#include "claude_files/live.h"
#include "groups/group_store.h"
#include "platform/files.h"
#include "sessions/names.h"
#include "state/state.h"

#include <algorithm>
#include <cstdio>

namespace groups {
namespace {

constexpr const char* USAGE =
    "uso: channel-server group create|add|remove NOME PASTA... | group delete NOME [--documents] "
    "| group list";

const Group* findGroup(const std::vector<Group>& all, const std::string& name) {
  for (const Group& g : all) {
    if (g.name == name) {
      return &g;
    }
  }
  return nullptr;
}

// Why `path` cannot join a group; "" when it can.
std::string folderProblem(const std::string& path) {
  if (path.empty() || !platform::exists(path)) {
    return "não existe";
  }
  if (!platform::isDirectory(path)) {
    return "não é uma pasta";
  }
  if (path.find('\n') != std::string::npos) {
    return "o nome tem uma quebra de linha";
  }
  return "";
}

int deleteNamed(const std::string& stateDir, const std::string& name, bool documents) {
  std::string err;
  if (!deleteGroup(stateDir, name, documents, &err)) {
    base::logErr("✗ " + err);
    return 1;
  }
  base::logErr(documents ? "✓ grupo " + name + " apagado, com os documentos"
                         : "✓ grupo " + name + " apagado; os documentos ficam em " +
                               groupDir(stateDir, name) + " (--documents apaga também)");
  return 0;
}

int listGroups(const std::string& stateDir) {
  std::vector<Group> all = loadGroups(stateDir);
  if (all.empty()) {
    base::logErr("ℹ️ nenhum grupo; crie um com: channel-server group create NOME PASTA...");
    return 0;
  }
  std::string out = formatGroups(
      all, ops::sessionRefs(claude_files::readLiveSessions(claude_files::claudeDir()), {}).running);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

int failed(const std::string& line) {
  base::logErr("✗ " + base::terminalSafe(line));
  return 1;
}

}  // namespace

std::string formatGroups(const std::vector<Group>& all,
                         const std::vector<ops::SessionRef>& running) {
  using base::terminalSafe;
  std::string out;
  for (const Group& g : all) {
    out += terminalSafe(g.name) + "\n";
    for (const std::string& folder : g.folders) {
      out += "  " + terminalSafe(folder) + "\n";
      for (const ops::SessionRef& s : running) {
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
  if ((args.size() == 2 || (args.size() == 3 && args[2] == "--documents")) && args[0] == "delete") {
    return deleteNamed(stateDir, args[1], args.size() == 3);
  }
  const char* verbs[] = {"create", "add", "remove"};
  const Change changes[] = {Change::Create, Change::Add, Change::Remove};
  for (size_t v = 0; v < 3; ++v) {
    if (args.size() < 3 || args[0] != verbs[v]) {
      continue;
    }
    if (!validGroupName(args[1])) {
      base::logErr("✗ nome de grupo inválido: " + args[1] +
                   " (de 1 a 64 letras, dígitos, - ou _, começando por letra ou dígito)");
      return 2;
    }
    std::vector<std::string> folders, already;
    std::vector<Group> all = loadGroups(stateDir);
    for (size_t i = 2; i < args.size(); ++i) {
      std::string path = platform::resolvePath(args[i]);
      // Removing a folder that has since gone must still work: take it as written.
      if (changes[v] == Change::Remove && path.empty() && !args[i].empty() && args[i][0] == '/') {
        path = args[i];
      }
      std::string why = changes[v] != Change::Remove || path.empty() ? folderProblem(path) : "";
      if (!why.empty()) {
        return failed("pasta inválida: " + args[i] + " (" + why + ")");
      }
      const Group* in = findGroup(all, args[1]);
      bool member =
          in && std::find(in->folders.begin(), in->folders.end(), path) != in->folders.end();
      (changes[v] == Change::Add && member ? already : folders).push_back(path);
    }
    for (const std::string& f : already) {
      base::logErr("ℹ️  " + base::terminalSafe(f + " já está no grupo " + args[1]));
    }
    if (folders.empty()) {
      return 0;
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
