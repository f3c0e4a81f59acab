#pragma once

// emit() queues JSON-RPC answers for standard output; any thread may call it.

#include "base/json.h"

namespace server {

using base::Json;

// One message and one line feed, written whole by the writer thread in the order of the calls.
// A value that cannot be serialised writes nothing. After a failed write standard output is never
// written again, so no partial message can follow a torn one.
void emit(const Json& message);

}  // namespace server
