#pragma once

// JSON-RPC 2.0 handling of one input line: at most one answer, never an error for bad input.

#include "base/json.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace server {

using base::Json;

// The guidance text sent with `initialize` in tools-only mode.
extern const char* const INSTRUCTIONS;

using ToolCaller = std::function<std::string(const std::string& name, const Json& args)>;

// How this server was configured; fixed at start-up.
struct Mode {
  bool toolsOnly = false;  // tools and instructions instead of the channel
  bool warden = false;     // `tools/list` offers only the warden tools
};

struct Outcome {
  std::optional<Json> answer;      // nothing for notifications and malformed lines
  std::optional<std::string> log;  // the `initialize` line, written after the answer
  bool initialize = false;         // the answer is the one to `initialize`
  bool initialized = false;        // the client's `notifications/initialized`
};

// The pure core: what one line asks for. `projectName` goes into the `initialize` line.
Outcome handleMessage(std::string_view line, const std::string& projectName, const Mode& mode,
                      const ToolCaller& callTool);

// handleMessage, then emit() and logErr(). Once the client says `notifications/initialized`
// after our `initialize` answer, channel notifications may flow.
void handleLine(std::string_view line, const std::string& projectName, const Mode& mode,
                const ToolCaller& callTool);

}  // namespace server
