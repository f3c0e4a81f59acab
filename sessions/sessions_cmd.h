#pragma once

// `channel-server sessions [--json]`: the companion's session list as a table for a person.

#include "base/json.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sessions {

using base::Json;

// "agora", "há 42 s", "há 3 min", "há 5 h", "há 2 d"; "-" when unknown.
std::string relativeTime(std::optional<int64_t> thenMillis, int64_t nowMillis);

// A session's cost as `session_cost` gives it: the whole, or, while `unpriced` names models
// without a price, only the part that has one.
struct SessionCost {
  double usd = 0;
  std::vector<std::string> unpriced;
};

// The table of a `list` answer: running sessions, then those finished since sinceMillis (all of
// them for 0), and a footnote naming the models a partial cost (≥$1.20*) leaves out; *hidden,
// when given, counts the finished ones left out. A finished session's STATUS is "-": STATE says
// it. `costs` maps a session id to its cost; an id missing from it shows "-". With width > 0,
// WORKING ON is cut so each line fits; 0 leaves lines whole.
std::string formatSessions(const Json& list, const std::map<std::string, SessionCost>& costs,
                           int64_t nowMillis, int64_t sinceMillis, size_t width,
                           size_t* hidden = nullptr);

// The names push and type take (running sessions with a channel), one a line.
std::string channelNames(const Json& list);

// The mode: asks the companion (starting it when needed), prints, returns the exit status.
// [--all | --since DAYS] [--json]; --names (for shell completion) prints channelNames.
int runSessions(const std::vector<std::string>& args);

}  // namespace sessions
