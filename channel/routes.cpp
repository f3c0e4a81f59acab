#include "channel/routes.h"

#include "channel/token.h"
#include "platform/text.h"
#include "base/json.h"

namespace channel {
namespace {

Decision answer(std::string status, std::string body, std::optional<std::string> log = {}) {
  return Decision{std::move(status), std::move(body), std::nullopt, std::move(log)};
}

std::string refused(std::string_view requestLine, std::string_view reason) {
  return "← " + std::string(requestLine) + " — REJEITADO (" + std::string(reason) + ")";
}

std::string identity(const RouteContext& ctx) {
  base::Json doc = {{"name", ctx.projectName},
                      {"pid", ctx.pid},
                      {"instance", ctx.instanceID},
                      {"port", ctx.port},
                      {"version", ctx.version}};
  return base::serialize(doc).value_or("{}");
}

}  // namespace

Decision route(const Request& req, const RouteContext& ctx) {
  const std::string& line = req.requestLine;
  RequestLine parts = splitRequestLine(line);
  if (req.origin) {
    return answer("403 Forbidden", R"({"ok":false,"error":"origin not allowed"})",
                  refused(line, "Origin: " + *req.origin + " — pedido de browser"));
  }
  std::string port = std::to_string(ctx.port);
  if (req.host && *req.host != "127.0.0.1:" + port && *req.host != "localhost:" + port) {
    return answer("403 Forbidden", R"({"ok":false,"error":"bad host"})",
                  refused(line, "Host inesperado: " + *req.host));
  }
  if (parts.method == "GET" && parts.path.starts_with("/info")) {
    return answer("200 OK", identity(ctx));
  }
  if (parts.method != "POST") {
    return answer("404 Not Found", R"({"ok":false,"error":"not found"})");
  }
  std::string body = requestBody(req);
  if (!ctx.token || ctx.token->empty()) {
    return answer("503 Service Unavailable", R"({"ok":false,"error":"channel not armed"})",
                  refused(line, "servidor sem token configurado"));
  }
  if (!req.token || !constantTimeEquals(*req.token, *ctx.token)) {
    return answer("401 Unauthorized", R"({"ok":false,"error":"bad token"})",
                  refused(line, "token inválido"));
  }
  std::string text(platform::trimUnicodeSpace(body));
  if (text.empty()) {
    return answer("400 Bad Request", R"({"ok":false,"error":"empty body"})");
  }
  Decision accepted = answer("200 OK", R"({"ok":true})", "→ channel push: \"" + text + "\"");
  accepted.push = std::move(text);
  return accepted;
}

Decision refusal(const Request& req, Limit limit) {
  std::string line = knownRequestLine(req);
  switch (limit) {
    case Limit::TooLarge:
      return answer("413 Payload Too Large", R"({"ok":false,"error":"request too large"})",
                    refused(line, "pedido grande demais"));
    case Limit::Timeout:
      return answer("408 Request Timeout", R"({"ok":false,"error":"request timeout"})",
                    refused(line, "tempo esgotado"));
    case Limit::TooManyConnections:
      break;
  }
  return answer("503 Service Unavailable", R"({"ok":false,"error":"too many connections"})",
                refused(line, "conexões demais"));
}

std::string responseText(std::string_view status, std::string_view body) {
  std::string text = "HTTP/1.1 ";
  text += status;
  text += "\r\nContent-Type: application/json\r\nContent-Length: ";
  text += std::to_string(body.size());
  text += "\r\nConnection: close\r\n\r\n";
  text += body;
  return text;
}

}  // namespace channel
