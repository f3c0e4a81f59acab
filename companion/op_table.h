#pragma once

// Every op the companion answers, by name.

#include "leases/lease_store.h"
#include "ops/ops.h"

#include <string_view>

namespace companion {

// The session ops and those over leases, groups, notebooks and terminals. `leases` outlives the
// table.
ops::OpTable allOps(leases::LeaseStore& leases);

// The op waits on other processes (the terminals' sockets): it runs on a copy of its context,
// after the snapshot's lock is released.
bool asksTerminals(std::string_view op);

}  // namespace companion
