#pragma once

// What `help`, `<command> --help`, `--version` and `completion` print. Pure text.

#include "app/cli.h"

#include <optional>
#include <string>
#include <string_view>

namespace app {

// One screen: every command with its line, then the two most useful examples.
std::string helpScreen();

// "uso: channel-server <usage>" and the command's details.
std::string commandHelp(const Command& cmd);

// The completion script for "bash", "zsh" or "fish"; nullopt for another shell. Session names
// come from `channel-server sessions --names` when completion runs.
std::optional<std::string> completionScript(std::string_view shell);

}  // namespace app
