#pragma once

// Every op the companion answers, by name.

#include "companion/ops.h"
#include "leases/lease_store.h"

namespace app_companion {

// The session ops and those over leases, groups, notebooks and terminals. `leases` outlives the
// table.
companion::OpTable allOps(leases::LeaseStore& leases);

}  // namespace app_companion
