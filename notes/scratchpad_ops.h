#pragma once

// user_scratchpad: the notebooks a session may read (its own and its work group's), their
// heading outline, one section, a search, or a page. Never writes.

#include "base/json.h"
#include "ops/context.h"

namespace notes {

base::Json opUserScratchpad(const base::Json& request, const ops::Context& ctx);

}  // namespace notes
