#include "channel/routes.h"

#include "base/json.h"
#include "channel/log_text.h"
#include "channel/token.h"
#include "platform/text.h"

namespace channel {
namespace {

Decision answer(std::string status, std::string body, std::optional<std::string> log = {}) {
  return Decision{std::move(status), std::move(body), std::nullopt, std::move(log), false};
}

// `reason` is ours; only the request line and what follows `reason` come from the request.
std::string refused(std::string_view requestLine, std::string_view reason,
                    std::string_view value = {}, std::string_view after = {}) {
  return "← " + loggedValue(requestLine) + " — REJEITADO (" + std::string(reason) +
         loggedValue(value) + std::string(after) + ")";
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

std::optional<Decision> headerVerdict(const Request& req, const RouteContext& ctx) {
  const std::string& line = req.requestLine;
  RequestLine parts = splitRequestLine(line);
  if (req.origin) {
    return answer("403 Forbidden", R"({"ok":false,"error":"origin not allowed"})",
                  refused(line, "Origin: ", *req.origin, " — pedido de browser"));
  }
  std::string port = std::to_string(ctx.port);
  if (req.host && *req.host != "127.0.0.1:" + port && *req.host != "localhost:" + port) {
    return answer("403 Forbidden", R"({"ok":false,"error":"bad host"})",
                  refused(line, "Host inesperado: ", *req.host));
  }
  if (parts.method == "GET" && parts.path.starts_with("/info")) {
    return answer("200 OK", identity(ctx));
  }
  if (parts.method != "POST") {
    return answer("404 Not Found", R"({"ok":false,"error":"not found"})");
  }
  if (!ctx.token || ctx.token->empty()) {
    return answer("503 Service Unavailable", R"({"ok":false,"error":"channel not armed"})",
                  refused(line, "servidor sem token configurado"));
  }
  if (!req.token || !constantTimeEquals(*req.token, *ctx.token)) {
    return answer("401 Unauthorized", R"({"ok":false,"error":"bad token"})",
                  refused(line, "token inválido"));
  }
  if (req.transferEncoding) {
    return answer("411 Length Required", R"({"ok":false,"error":"content-length required"})",
                  refused(line, "Transfer-Encoding sem Content-Length"));
  }
  return std::nullopt;
}

Decision route(const Request& req, const RouteContext& ctx) {
  if (auto early = headerVerdict(req, ctx)) {
    return std::move(*early);
  }
  std::string text(platform::trimUnicodeSpace(requestBody(req)));
  if (text.empty()) {
    return answer("400 Bad Request", R"({"ok":false,"error":"empty body"})");
  }
  Decision accepted =
      answer("200 OK", R"({"ok":true})", "→ channel push: \"" + escapeControls(text) + "\"");
  accepted.push = std::move(text);
  return accepted;
}

Decision refusal(const Request& req, Limit limit) {
  std::string line = knownRequestLine(req);
  const char* unavailable = "503 Service Unavailable";
  switch (limit) {
    case Limit::TooLarge:
      return answer("413 Payload Too Large", R"({"ok":false,"error":"request too large"})",
                    refused(line, "pedido grande demais"));
    case Limit::Timeout:
      return answer("408 Request Timeout", R"({"ok":false,"error":"request timeout"})",
                    refused(line, "tempo esgotado"));
    case Limit::TooManyConnections:
      break;
    case Limit::NoMemory:
      return answer(unavailable, R"({"ok":false,"error":"server busy"})",
                    refused(line, "memória para pedidos esgotada"));
    case Limit::ShortBody:
      return answer("400 Bad Request", R"({"ok":false,"error":"incomplete body"})",
                    refused(line, "corpo incompleto"));
    case Limit::NotReady: {
      Decision later = answer(unavailable, R"({"ok":false,"error":"channel not ready"})",
                              refused(line, "sessão ainda não pronta"));
      later.retryAfter = true;
      return later;
    }
    case Limit::SessionBusy:
      return answer(unavailable, R"({"ok":false,"error":"session busy"})",
                    refused(line, "sessão ocupada"));
    case Limit::SessionEnded:
      return answer(unavailable, R"({"ok":false,"error":"session ended"})",
                    refused(line, "sessão encerrada"));
  }
  return answer(unavailable, R"({"ok":false,"error":"too many connections"})",
                refused(line, "conexões demais"));
}

std::string responseText(std::string_view status, std::string_view body, bool retryAfter) {
  std::string text = "HTTP/1.1 ";
  text += status;
  text += "\r\nContent-Type: application/json\r\nContent-Length: ";
  text += std::to_string(body.size());
  text += retryAfter ? "\r\nRetry-After: 1" : "";
  text += "\r\nConnection: close\r\n\r\n";
  text += body;
  return text;
}

}  // namespace channel
