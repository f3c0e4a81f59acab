#pragma once

// Install mode: the corvane-run and channel-server links on the user's search path, the PATH line
// and shell completion for the user's shell.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace launcher {

// ~/.local/bin, /opt/homebrew/bin, /usr/local/bin, in the order they are preferred.
std::vector<std::string> linkDirCandidates(const std::string& home);

// The first candidate that is an entry of `searchPath` (split at ":", compared byte for byte) and
// `usable`; nullopt when none is.
std::optional<std::string> chooseLinkDir(const std::vector<std::string>& candidates,
                                         std::string_view searchPath,
                                         const std::function<bool(const std::string&)>& usable);

// The shell $SHELL names ("bash", "zsh", "fish"), the file it reads at start, relative to HOME,
// and the PATH line for it; nullopt for another shell or none.
struct ShellFiles {
  std::string shell;
  std::string rc;          // .zshrc, .bashrc, .config/fish/conf.d/corvane.fish
  std::string pathLine;    // "\n…# corvane: corvane-run\n"
  std::string completion;  // where its completion script goes, relative to HOME
};
std::optional<ShellFiles> shellFiles(std::string_view shellVar);

// Returns the completion script for a shell ("bash", "zsh", "fish").
using CompletionFor = std::function<std::optional<std::string>(std::string_view)>;

// Links <chosen dir>/corvane-run and <chosen dir>/channel-server to realBinaryPath(), adding
// ~/.local/bin to PATH in the rc file of the user's shell when no candidate is on the search path.
// An existing rc file is only ever appended to (through a link too) when it is a regular file its
// owner may write; otherwise the line is printed for the user to add. Then the shell's completion
// script is written (zsh: with a line in ~/.zshrc that reads it, under the same rules).
// Returns 0 when the links are in place, 1 when one cannot be made (a directory at the link path
// is reported, never removed). With the links in place, the tools server is registered with
// claude (registerTools).
int runInstallCLI(const CompletionFor& completionFor);

}  // namespace launcher
