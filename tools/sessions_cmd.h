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

// "just now", "42s ago", "3m ago", "5h ago", "2d ago"; "-" when unknown.
std::string relativeTime(std::optional<int64_t> thenMillis, int64_t nowMillis);

// A session's cost as `session_cost` gives it: the whole, or, while `unpriced` names models
// without a price, only the part that has one.
struct SessionCost {
  double usd = 0;
  std::vector<std::string> unpriced;
};

// The table of a `list` answer: running sessions, then those finished since todayStartMillis,
// and a footnote naming the models a partial cost (≥$1.20*) leaves out. `costs` maps a session id
// to its cost; an id missing from it shows "-". With width > 0, WORKING ON is cut so each line
// fits; 0 leaves lines whole.
std::string formatSessions(const Json& list, const std::map<std::string, SessionCost>& costs,
                           int64_t nowMillis, int64_t todayStartMillis, size_t width);

// The mode: asks the companion (starting it when needed), prints, returns the exit status.
int runSessions(const std::vector<std::string>& args);

}  // namespace tools
