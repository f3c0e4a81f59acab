#pragma once

// The `statusline` op: everything one render of Claude Code's status line shows that the
// companion knows, in one answer, so a render costs one short exchange. The session is the one the
// request's `session_id` names (the status line's own JSON says it), not the calling process.

#include "base/json.h"
#include "leases/lease_store.h"
#include "ops/context.h"

#include <cstdint>

namespace companion {

// The window of the spend rate, and its answer in USD an hour.
inline constexpr int64_t RATE_WINDOW_MS = 30LL * 60 * 1000;

// Request: {"op":"statusline","session_id":ID,"day_start":MS}; day_start is the caller's local
// midnight (the companion's when absent). Answer: name, usd (null when a model has no price, then
// usd_known and unpriced_models too), channel, leases, running, waiting [{name, for, group}] with
// the group's sessions first, group, today_usd (+ today_unpriced), rate_usd_per_hour.
ops::Json opStatusline(const ops::Json& request, const ops::Context& ctx,
                       leases::LeaseStore& store);

}  // namespace companion
