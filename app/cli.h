#pragma once

// The pure half of start-up: reading CV_CHANNEL_PORT and choosing the mode.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace app {

// An optional "+" or "-", one or more ASCII digits, 0..65535, "-" only before zero; else 0.
uint16_t parsePort(std::string_view text);

enum class Mode { Server, Launch, InstallCLI, Shell };

struct Dispatch {
  Mode mode = Mode::Server;
  bool take = false;
  std::vector<std::string> passthrough;  // Launch: claude's arguments; Shell: the mode's own
};

Dispatch dispatch(const std::string& programName, const std::vector<std::string>& args);

}  // namespace app
