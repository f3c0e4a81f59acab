#pragma once

// The pure half of start-up: reading CV_CHANNEL_PORT and choosing the mode.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace app {

// An optional "+" or "-", one or more ASCII digits, 0..65535, "-" only before zero; else 0.
uint16_t parsePort(std::string_view text);

// 1 to 64 ASCII letters, digits and "-": a value of CV_INSTANCE that can name a file of ours.
bool isValidInstance(std::string_view text);

enum class Mode {
  Server,
  Launch,
  InstallCLI,
  Push,
  Type,
  App,
  Sessions,
  Group,
  Notes,
  Shell,
  Statusline,
  Completion,
  Help,  // passthrough: the command asked about, or nothing for the whole list
  Version,
  Usage,  // an unknown word typed on a terminal: the list on stderr, status 2
};

// A command word a person types. A new command is one row in commands() and one case in main().
struct Command {
  std::string_view word;
  Mode mode;
  std::string_view usage;    // after "uso: channel-server "
  std::string_view summary;  // its line in the list
  std::string_view options;  // space-separated, offered by shell completion
  std::string_view details;  // what `<word> --help` adds below the usage, lines ending in "\n"
};

std::span<const Command> commands();
const Command* findCommand(std::string_view word);

struct Dispatch {
  Mode mode = Mode::Server;
  bool take = false;
  std::vector<std::string> passthrough;  // launch: claude's arguments; a command: the rest
};

// `stdinTerminal`: an unknown first word is a person's typo only on a terminal; claude starts the
// server with words of its own and standard input on a pipe.
Dispatch dispatch(const std::string& programName, const std::vector<std::string>& args,
                  bool stdinTerminal);

}  // namespace app
