#pragma once

// The single answer to a request: checks, routes, refusals and the HTTP text that carries them.
// Pure: the caller pushes, logs and sends what the Decision says.

#include "channel/request.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace channel {

// What the checks answer with: this server's identity and port.
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
  bool retryAfter = false;          // the answer asks the client to come back in a second
};

// The answer a header block already decides: every refusal up to the token check, and 411 for a
// body framed otherwise than by Content-Length. Nothing for a push, which needs its body.
std::optional<Decision> headerVerdict(const Request& req, const RouteContext& ctx);

// The answer to a whole request (or to whatever arrived before the peer stopped sending).
Decision route(const Request& req, const RouteContext& ctx);

// Answers our own limits give, each logged as a refusal.
enum class Limit {
  TooLarge,
  Timeout,
  TooManyConnections,
  NoMemory,      // the bytes held for all connections are at their bound
  ShortBody,     // the client stopped before its announced body was whole
  NotReady,      // the session does not take notifications yet
  SessionBusy,   // the way to the session is full
  SessionEnded,  // the session's end came first
};
Decision refusal(const Request& req, Limit limit);

// The whole HTTP/1.1 answer; Content-Length counts the body's bytes.
std::string responseText(std::string_view status, std::string_view body, bool retryAfter = false);

}  // namespace channel
