#pragma once

// The session-context tools offered to claude, as tools/list shows them, built from the tool table.

#include "base/json.h"

#include <string>
#include <utility>
#include <vector>

namespace tools {

using base::Json;
using Properties = std::vector<std::pair<std::string, Json>>;

// {"type":"object","properties":…,"required":…}; both arguments copied unchanged.
Json schema(const Properties& properties, const std::vector<std::string>& required);

// The whole catalogue, in order; built once.
const Json& sessionTools();

// The catalogue, or only the warden tools for a warden session.
Json exposedSessionTools(bool warden);

}  // namespace tools
