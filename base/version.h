#pragma once

// What this server calls itself in MCP answers, records and claude's configuration.

namespace base {

inline constexpr const char* SERVER_NAME = "corvane";
// The tools-only server's name in claude's configuration: apart from the channel server's, because
// claude installs its channel handler at a moment only a server without tools can see.
inline constexpr const char* TOOLS_SERVER_NAME = "corvane-tools";
inline constexpr const char* SERVER_VERSION = "0.2.0";
inline constexpr const char* DEFAULT_PROTOCOL = "2025-06-18";

}  // namespace base
