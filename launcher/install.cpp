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

constexpr const char* MARKER = "# corvane: corvane-run";
constexpr const char* PATH_LINE =
    "\nexport PATH=\"$HOME/.local/bin:$PATH\" # corvane: corvane-run\n";

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

void addToZshrc(const std::string& home) {
  std::string rc = home + "/.zshrc";
  // Dotfiles kept elsewhere are linked: the marker is looked for in the file the link names.
  std::string real = platform::resolvePath(rc);
  auto text = real.empty() ? std::nullopt : platform::readRegularFile(real);
  if (text && platform::isValidUtf8(*text) && text->find(MARKER) != std::string::npos) {
    return;
  }
  std::string line = PATH_LINE, err, reason;
  bool written = !platform::exists(rc) ? platform::createFile(rc, line, 0644, &err)
                                       : appendToExisting(rc, line, &reason);
  if (written) {
    base::logErr("→ adicionei ~/.local/bin ao PATH no ~/.zshrc (abra um novo terminal)");
    return;
  }
  base::logErr("ℹ️  não alterei o ~/.zshrc (" + (reason.empty() ? err : reason) +
               "); acrescente você esta linha:");
  base::logErr(line.substr(1, line.size() - 2));
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

int runInstallCLI() {
  std::string home = platform::homeDir();
  std::string target = realBinaryPath();
  auto dir = chooseLinkDir(
      linkDirCandidates(home), platform::envVar("PATH").value_or(""),
      [](const std::string& d) { return platform::isDirectory(d) && platform::isWritable(d); });
  if (!dir) {
    dir = home + "/.local/bin";
    platform::makeDirs(*dir);
    addToZshrc(home);
  }
  std::string link = *dir + "/corvane-run";
  if (auto current = platform::readLink(link)) {
    if (*current == target) {
      base::logErr("✓ corvane-run já instalado em " + link);
      registerTools(target);
      return 0;
    }
    platform::removeFile(link);
  } else if (!platform::isDirectory(link)) {
    platform::removeFile(link);
  }
  // A directory at the link path keeps its contents; symlink reports it below.
  std::string reason;
  if (!platform::makeSymlink(target, link, &reason)) {
    base::logErr("✋ falha ao criar " + link + ": " + reason);
    return 1;
  }
  base::logErr("✓ corvane-run instalado: " + link + " → " + target);
  registerTools(target);
  return 0;
}

}  // namespace launcher
