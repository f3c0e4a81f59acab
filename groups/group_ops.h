#pragma once

// The work-group ops: group_context (index, one document paged or searched) and group_note.
// Documents live under ctx.stateDir; the handlers keep no state between calls.

#include "base/json.h"
#include "groups/group_store.h"
#include "ops/context.h"

#include <vector>

namespace groups {

using base::Json;

// {"error":"you are not in a work group","hint":...}
Json notInGroup();

// The sessions, running first, whose nearest group is `group`.
std::vector<ops::SessionRef> sessionsOf(const std::vector<Group>& all, const Group& group,
                                        const ops::Context& ctx);

Json opGroupContext(const Json& request, const ops::Context& ctx);
Json opGroupNote(const Json& request, const ops::Context& ctx);

// What one more note adds to the end of the decisions log: dated, signed, separated from the
// earlier ones.
std::string decisionEntry(const std::string& log, const std::string& text,
                          const std::string& signer, int64_t nowMillis);

}  // namespace groups
