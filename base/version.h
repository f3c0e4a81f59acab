#pragma once

// What this server calls itself in MCP answers, records and claude's configuration.

namespace base {

inline constexpr const char* SERVER_NAME = "corvane";
inline constexpr const char* SERVER_VERSION = "0.2.0";
inline constexpr const char* DEFAULT_PROTOCOL = "2025-06-18";

}  // namespace base
