#pragma once

// The pure half of start-up: reading CV_CHANNEL_PORT and choosing the mode.

#include <cstdint>
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
  Statusline
};

struct Dispatch {
  Mode mode = Mode::Server;
  bool take = false;
  std::vector<std::string> passthrough;  // launch: claude's arguments; a command: the rest
};

Dispatch dispatch(const std::string& programName, const std::vector<std::string>& args);

}  // namespace app
