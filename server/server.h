#pragma once

#include "registry/identity.h"
#include "server/jsonrpc.h"

namespace server {

// Server mode: serves MCP on stdin/stdout until stdin closes; in channel mode also the listener.
// Returns only when start-up fails, with the status to end with after the line it wrote.
int runServer(const registry::Identity& identity, const Mode& mode);

}  // namespace server
