#pragma once

// The lease ops: lease_acquire, lease_release, lease_status. Each takes the request as it came
// (arguments unchecked) and answers with a JSON object; a store failure is an error answer.

#include "base/json.h"
#include "leases/lease_store.h"
#include "ops/context.h"

#include <cstdint>

namespace leases {

using base::Json;

inline constexpr int64_t DEFAULT_TTL_S = 300;
inline constexpr int64_t MAX_TTL_S = 1800;

struct Ttl {
  int64_t seconds = DEFAULT_TTL_S;
  bool capped = false;
};

// ttl_s as asked: missing, not a number or under 1 means the default; above the cap is cut.
Ttl ttlFrom(const Json& value);

Json opLeaseAcquire(const Json& request, const ops::Context& ctx, LeaseStore& store);
Json opLeaseRelease(const Json& request, const ops::Context& ctx, LeaseStore& store);
Json opLeaseStatus(const Json& request, const ops::Context& ctx, LeaseStore& store);

}  // namespace leases
