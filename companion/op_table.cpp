#include "companion/op_table.h"

#include "companion/statusline_op.h"
#include "groups/group_ops.h"
#include "leases/lease_ops.h"
#include "notes/scratchpad_ops.h"
#include "terminal/ops.h"

namespace companion {

ops::OpTable allOps(leases::LeaseStore& leases) {
  using ops::Context;
  using ops::Json;
  ops::OpTable ops = ops::sessionOps();
  auto withStore = [&leases](auto op) {
    return
        [&leases, op](const Json& request, const Context& ctx) { return op(request, ctx, leases); };
  };
  ops.emplace("lease_acquire", withStore(leases::opLeaseAcquire));
  ops.emplace("lease_release", withStore(leases::opLeaseRelease));
  ops.emplace("lease_status", withStore(leases::opLeaseStatus));
  ops.emplace("statusline", withStore(opStatusline));
  ops.emplace("group_context", groups::opGroupContext);
  ops.emplace("group_note", groups::opGroupNote);
  ops.emplace("user_scratchpad", notes::opUserScratchpad);
  ops.emplace("terminal_read", terminal::terminalRead);
  ops.emplace("terminal_write", terminal::terminalWrite);
  return ops;
}

bool asksTerminals(std::string_view op) {
  return op == "terminal_read" || op == "terminal_write";
}

}  // namespace companion
