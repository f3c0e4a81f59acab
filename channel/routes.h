#pragma once

// The single answer to a request: checks, routes, refusals and the HTTP text that carries them.
// Pure: the caller pushes, logs and sends what the Decision says.

#include "channel/request.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace channel {

// The process-wide values the checks read.
struct RouteContext {
  uint16_t port = 0;
  std::optional<std::string_view> token;
  std::string_view projectName;
  std::string_view instanceID;
  std::string_view version;
  long long pid = 0;
};

struct Decision {
  std::string status;               // "200 OK"
  std::string body;                 // JSON text
  std::optional<std::string> push;  // text to push into the session before logging and answering
  std::optional<std::string> log;   // one line for standard error
};

// The answer to a whole request (or to whatever arrived before the peer stopped sending).
Decision route(const Request& req, const RouteContext& ctx);

// Answers our own limits give, each logged as a refusal.
enum class Limit { TooLarge, Timeout, TooManyConnections };
Decision refusal(const Request& req, Limit limit);

// The whole HTTP/1.1 answer; Content-Length counts the body's bytes.
std::string responseText(std::string_view status, std::string_view body);

}  // namespace channel
