#include "launcher/install.h"

#include "app/process.h"
#include "launcher/launch.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "platform/text.h"
#include "base/log.h"

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace launcher {
namespace {

constexpr const char* MARKER = "# corvane: corvane-run";
constexpr const char* PATH_LINE =
    "\nexport PATH=\"$HOME/.local/bin:$PATH\" # corvane: corvane-run\n";

void addToZshrc(const std::string& home) {
  std::string rc = home + "/.zshrc";
  auto text = platform::readFile(rc);
  if (text && platform::isValidUtf8(*text) && text->find(MARKER) != std::string::npos) {
    return;
  }
  std::string line = PATH_LINE;
  platform::UniqueFd fd{::open(rc.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC)};
  if (fd) {
    platform::writeAll(fd.get(), line.data(), line.size());
  } else {
    std::string err;
    platform::replaceFile(rc, line, 0644, &err);
  }
  base::logErr("→ adicionei ~/.local/bin ao PATH no ~/.zshrc (abra um novo terminal)");
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

void runInstallCLI() {
  std::string home = platform::homeDir();
  std::string target = realBinaryPath();
  auto dir = chooseLinkDir(
      linkDirCandidates(home), app::envVar("PATH").value_or(""),
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
      std::exit(0);
    }
    platform::removeFile(link);
  } else if (!platform::isDirectory(link)) {
    platform::removeFile(link);
  }
  // A directory at the link path keeps its contents; symlink reports it below.
  std::string reason;
  if (!platform::makeSymlink(target, link, &reason)) {
    base::logErr("✋ falha ao criar " + link + ": " + reason);
    std::exit(1);
  }
  base::logErr("✓ corvane-run instalado: " + link + " → " + target);
  std::exit(0);
}

}  // namespace launcher
