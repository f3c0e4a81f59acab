#include "launcher/install.h"

#include "base/log.h"
#include "launcher/launch.h"
#include "launcher/register_tools.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "platform/text.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace launcher {
namespace {

constexpr const char* PATH_MARKER = "# corvane: corvane-run";
constexpr const char* COMPLETION_MARKER = "# corvane: completion";
constexpr const char* LINKS[] = {"corvane-run", "channel-server"};

// Appends `line` to the file `rc` names, through a symbolic link too, but only when that file is a
// regular file its owner may write: the user's file is never replaced. False with *reason when
// nothing was written.
bool appendToExisting(const std::string& rc, const std::string& line, std::string* reason) {
  struct stat st {};
  if (::stat(rc.c_str(), &st) != 0) {
    *reason = std::strerror(errno);
    return false;
  }
  // Mode bits, not access(): root may write anywhere, yet a read-only file says "leave me alone".
  if (!S_ISREG(st.st_mode) || (st.st_mode & S_IWUSR) == 0) {
    *reason = S_ISREG(st.st_mode) ? "somente leitura" : "não é um arquivo comum";
    return false;
  }
  platform::UniqueFd fd{::open(rc.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC)};
  struct stat opened {};
  if (!fd || ::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
      !platform::writeAll(fd.get(), line.data(), line.size())) {
    *reason = std::strerror(errno);
    return false;
  }
  return true;
}

std::string parentOf(const std::string& path) {
  return path.substr(0, path.find_last_of('/'));
}

// Adds `line` to ~/`rel` once: a file that holds `marker` already is left as it is.
void addLine(const std::string& home, const std::string& rel, const std::string& line,
             const char* marker, const std::string& done) {
  std::string rc = home + "/" + rel;
  // Dotfiles kept elsewhere are linked: the marker is looked for in the file the link names.
  std::string real = platform::resolvePath(rc);
  auto text = real.empty() ? std::nullopt : platform::readRegularFile(real);
  if (text && platform::isValidUtf8(*text) && text->find(marker) != std::string::npos) {
    return;
  }
  std::string err, reason;
  bool written = false;
  if (!platform::exists(rc)) {
    platform::makeDirs(parentOf(rc));
    written = platform::createFile(rc, line, 0644, &err);
  } else {
    written = appendToExisting(rc, line, &reason);
  }
  if (written) {
    base::logErr("→ " + done + " no ~/" + rel + " (abra um novo terminal)");
    return;
  }
  base::logErr("ℹ️  não alterei o ~/" + rel + " (" + (reason.empty() ? err : reason) +
               "); acrescente você esta linha:");
  base::logErr(line.substr(1, line.size() - 2));
}

void installCompletion(const std::string& home, const ShellFiles& files,
                       const CompletionFor& completionFor) {
  auto script = completionFor ? completionFor(files.shell) : std::nullopt;
  if (!script) {
    return;
  }
  std::string path = home + "/" + files.completion, err;
  if (platform::readRegularFile(path) != script) {
    platform::makeDirs(parentOf(path));
    if (!platform::replaceFile(path, *script, 0644, &err)) {
      base::logErr("ℹ️  sem completamento do " + files.shell + ": " + err);
      return;
    }
    base::logErr("→ completamento do " + files.shell + " em ~/" + files.completion);
  }
  // fish reads its completions folder by itself; bash and zsh are told where the script is.
  if (files.shell != "fish") {
    addLine(home, files.rc,
            "\n[ -r ~/" + files.completion + " ] && . ~/" + files.completion + " " +
                COMPLETION_MARKER + "\n",
            COMPLETION_MARKER, "ativei o completamento do channel-server");
  }
}

enum class Linked { Made, Already, Failed };

Linked linkTo(const std::string& target, const std::string& link, std::string* reason) {
  if (auto current = platform::readLink(link)) {
    if (*current == target) {
      return Linked::Already;
    }
    platform::removeFile(link);
  } else if (!platform::isDirectory(link)) {
    platform::removeFile(link);
  }
  // A directory at the link path keeps its contents; symlink reports it.
  return platform::makeSymlink(target, link, reason) ? Linked::Made : Linked::Failed;
}

}  // namespace

std::vector<std::string> linkDirCandidates(const std::string& home) {
  return {home + "/.local/bin", "/opt/homebrew/bin", "/usr/local/bin"};
}

std::optional<std::string> chooseLinkDir(const std::vector<std::string>& candidates,
                                         std::string_view searchPath,
                                         const std::function<bool(const std::string&)>& usable) {
  std::vector<std::string_view> entries;
  while (!searchPath.empty()) {
    size_t colon = searchPath.find(':');
    std::string_view entry = searchPath.substr(0, colon);
    if (!entry.empty()) {
      entries.push_back(entry);
    }
    searchPath.remove_prefix(colon == std::string_view::npos ? searchPath.size() : colon + 1);
  }
  for (const auto& dir : candidates) {
    for (std::string_view entry : entries) {
      if (entry == dir && usable(dir)) {
        return dir;
      }
    }
  }
  return std::nullopt;
}

std::optional<ShellFiles> shellFiles(std::string_view shellVar) {
  std::string shell = platform::lastPathComponent(shellVar);
  std::string sh = std::string("\nexport PATH=\"$HOME/.local/bin:$PATH\" ") + PATH_MARKER + "\n";
  if (shell == "zsh") {
    return ShellFiles{shell, ".zshrc", sh, ".local/share/zsh/site-functions/_channel-server"};
  }
  if (shell == "bash") {
    return ShellFiles{shell, ".bashrc", sh,
                      ".local/share/bash-completion/completions/channel-server"};
  }
  if (shell == "fish") {
    return ShellFiles{shell, ".config/fish/conf.d/corvane.fish",
                      std::string("\nset -gx PATH $HOME/.local/bin $PATH ") + PATH_MARKER + "\n",
                      ".config/fish/completions/channel-server.fish"};
  }
  return std::nullopt;
}

int runInstallCLI(const CompletionFor& completionFor) {
  std::string home = platform::homeDir();
  std::string target = realBinaryPath();
  auto shell = shellFiles(platform::envVar("SHELL").value_or(""));
  auto dir = chooseLinkDir(
      linkDirCandidates(home), platform::envVar("PATH").value_or(""),
      [](const std::string& d) { return platform::isDirectory(d) && platform::isWritable(d); });
  if (!dir) {
    dir = home + "/.local/bin";
    platform::makeDirs(*dir);
    if (shell) {
      addLine(home, shell->rc, shell->pathLine, PATH_MARKER, "adicionei ~/.local/bin ao PATH");
    } else {
      base::logErr(
          "ℹ️  ~/.local/bin não está no PATH e não conheço o seu shell ($SHELL); "
          "acrescente ~/.local/bin ao PATH no arquivo que ele lê ao iniciar");
    }
  }
  bool made = false;
  for (const char* name : LINKS) {
    std::string link = *dir + "/" + name, reason;
    Linked done = linkTo(target, link, &reason);
    if (done == Linked::Failed) {
      base::logErr("✋ falha ao criar " + link + ": " + reason);
      return 1;
    }
    made = made || done == Linked::Made;
  }
  base::logErr(made ? "✓ corvane-run e channel-server instalados em " + *dir + " → " + target
                    : "✓ corvane-run e channel-server já instalados em " + *dir);
  if (shell) {
    installCompletion(home, *shell, completionFor);
  }
  registerTools(target);
  return 0;
}

}  // namespace launcher
