#pragma once

namespace server {

// Server mode: serves MCP on stdin/stdout until stdin closes; in channel mode also the listener.
[[noreturn]] void runServer();

}  // namespace server
