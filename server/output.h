#pragma once

// emit() writes JSON-RPC messages on standard output; any thread may call it.

#include "base/json.h"

namespace server {

using base::Json;

// One message and one line feed, whole, under stdoutLock. A value that cannot be serialised writes
// nothing. After a failed write standard output is never written again, so no partial message can
// follow a torn one.
void emit(const Json& message);

}  // namespace server
