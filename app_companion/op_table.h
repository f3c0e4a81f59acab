#pragma once

// Every op the companion answers, by name.

#include "companion/ops.h"
#include "leases/lease_store.h"

#include <string_view>

namespace app_companion {

// The session ops and those over leases, groups, notebooks and terminals. `leases` outlives the
// table.
companion::OpTable allOps(leases::LeaseStore& leases);

// The op waits on other processes (the terminals' sockets): it runs on a copy of its context,
// after the snapshot's lock is released.
bool asksTerminals(std::string_view op);

}  // namespace app_companion
