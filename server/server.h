#pragma once

#include "channel/listener.h"
#include "registry/identity.h"
#include "server/jsonrpc.h"

namespace server {

// Server mode: serves MCP on stdin/stdout until stdin closes, then calls `end` with 0 (1 when the
// listener fails later); in channel mode also the listener. Returns only when start-up fails, with
// the status to end with after the line it wrote.
int runServer(const registry::Identity& identity, const Mode& mode, channel::EndProcess end);

}  // namespace server
