#pragma once

// Install mode: the corvane-run link on the user's search path.

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

// Links <chosen dir>/corvane-run to realBinaryPath(), adding ~/.local/bin to PATH in ~/.zshrc when
// no candidate is on the search path. An existing ~/.zshrc is only ever appended to (through a
// link too) when it is a regular file its owner may write; otherwise the line is printed for the
// user to add. Returns 0 when the link is in place, 1 when it cannot be made
// (a directory at the link path is reported, never removed). With the link in place, the tools
// server is registered with claude (registerTools).
int runInstallCLI();

}  // namespace launcher
