#pragma once

// `channel-server sessions [--json]`: the companion's session list as a table for a person.

#include "base/json.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tools {

using base::Json;

// "agora", "há 42 s", "há 3 min", "há 5 h", "há 2 d"; "-" when unknown.
std::string relativeTime(std::optional<int64_t> thenMillis, int64_t nowMillis);

// The table of a `list` answer: running sessions, then those finished since sinceMillis (all of
// them for 0); *hidden, when given, counts the finished ones left out. A finished session's
// STATUS is "-": STATE says it. `usd` maps a session id to its cost (nullopt: not known). With
// width > 0, WORKING ON is cut so each line fits; 0 leaves lines whole.
std::string formatSessions(const Json& list,
                           const std::map<std::string, std::optional<double>>& usd,
                           int64_t nowMillis, int64_t sinceMillis, size_t width,
                           size_t* hidden = nullptr);

// The names push and type take (running sessions with a channel), one a line.
std::string channelNames(const Json& list);

// The mode: asks the companion (starting it when needed), prints, returns the exit status.
// [--all | --since DAYS] [--json]; --names (for shell completion) prints channelNames.
int runSessions(const std::vector<std::string>& args);

}  // namespace tools
