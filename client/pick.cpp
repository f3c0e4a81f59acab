#include "client/pick.h"

#include "base/terminal_text.h"
#include "base/text.h"
#include "platform/text.h"
#include "registry/registry.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace client {

std::string stringField(const Json& record, const char* key) {
  return base::stringArg(record, key).value_or("");
}

std::optional<Options> parseOptions(Verb verb, const std::vector<std::string>& args,
                                    std::string* usage) {
  *usage = verb == Verb::Push ? "uso: channel-server push [--to SESSÃO] [TEXTO...]"
                              : "uso: channel-server type [--to SESSÃO] [--enter] TEXTO...";
  Options opts;
  size_t i = 0;
  for (; i < args.size() && args[i].starts_with("-"); ++i) {
    if (args[i] == "--") {
      ++i;
      break;
    }
    if (args[i] == "--to" && i + 1 < args.size()) {
      opts.to = args[++i];
    } else if (args[i] == "--enter" && verb == Verb::Type) {
      opts.enter = true;
    } else {
      return std::nullopt;
    }
  }
  opts.words.assign(args.begin() + static_cast<long>(i), args.end());
  if (verb == Verb::Type && opts.words.empty()) {
    return std::nullopt;
  }
  for (const std::string& word : opts.words) {
    // A line feed or an escape typed into the session would run or steer it.
    if (verb == Verb::Type && !base::plainText(word)) {
      *usage = "✗ o texto tem caracteres de controle; o Enter só vai com --enter";
      return std::nullopt;
    }
  }
  return opts;
}

std::vector<Json> chooseSessions(const std::vector<Json>& live,
                                 const std::optional<std::string>& to, const std::string& toFolder,
                                 const std::string& cwd) {
  std::vector<Json> out;
  for (const auto& record : live) {
    std::string folder = stringField(record, "cwd");
    bool match = !to ? folder == cwd
                     : (!to->empty() && (stringField(record, "name") == *to ||
                                         base::asciiLower(stringField(record, "instance"))
                                             .starts_with(base::asciiLower(*to)))) ||
                           (!toFolder.empty() && folder == toFolder);
    if (match) {
      out.push_back(record);
    }
  }
  return out;
}

std::string describe(const Json& record, const std::string& name) {
  return "   " + base::terminalSafe(name) + "  (" + base::terminalSafe(stringField(record, "cwd")) +
         ")";
}

std::optional<uint16_t> recordPort(const Json& record) {
  auto port = registry::integralNumber(record, "port");
  if (!port || *port < 1 || *port > 65535) {
    return std::nullopt;
  }
  return static_cast<uint16_t>(*port);
}

bool sameServer(const Json& record, std::string_view infoBody) {
  auto info = registry::parseRecord(infoBody);
  if (!info) {
    return false;
  }
  auto pid = registry::integralNumber(record, "pid");
  std::string instance = stringField(record, "instance");
  return pid && pid == registry::integralNumber(*info, "pid") && !instance.empty() &&
         instance == stringField(*info, "instance");
}

std::string infoRequest(uint16_t port) {
  return "GET /info HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nConnection: close\r\n\r\n";
}

std::string pushRequest(uint16_t port, std::string_view token, std::string_view text) {
  std::string req = "POST / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                    "\r\nx-cv-token: " + std::string(token) +
                    "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                    std::to_string(text.size()) + "\r\nConnection: close\r\n\r\n";
  return req.append(text);
}

std::optional<Reply> parseReply(std::string_view text) {
  size_t end = text.find("\r\n\r\n");
  if (!text.starts_with("HTTP/1.") || text.size() < 12 || text[8] != ' ' ||
      end == std::string_view::npos) {
    return std::nullopt;
  }
  long long status = 0;
  if (!platform::parseDecimal(text.substr(9, 3), &status)) {
    return std::nullopt;
  }
  Reply reply{static_cast<int>(status), std::string(text.substr(end + 4))};
  std::string head = base::asciiLower(text.substr(0, end + 2));
  size_t at = head.find("\r\nretry-after:");
  long long seconds = 0;
  if (at != std::string::npos) {
    std::string_view value(head);
    value = value.substr(at + 14);
    value = platform::trimHorizontalSpace(value.substr(0, value.find("\r\n")));
    if (platform::parseDecimal(value, &seconds) && seconds > 0) {
      reply.retryAfter = static_cast<int>(std::min<long long>(seconds, 3600));
    }
  }
  return reply;
}

std::string refusalLine(const Reply& reply, const std::string& session) {
  static constexpr std::pair<std::string_view, std::string_view> KNOWN[] = {
      {"bad token", "recusou o token do registro (a sessão foi reiniciada?)"},
      {"channel not ready", "não ficou pronta para receber texto a tempo"},
      {"channel not armed", "não tem token configurado"},
      {"session busy", "está com a fila cheia; tente de novo em instantes"},
      {"server busy", "está com a fila cheia; tente de novo em instantes"},
      {"too many connections", "está com a fila cheia; tente de novo em instantes"},
      {"session ended", "terminou antes de receber o texto"},
      {"request too large", "recusou o texto: mais de 1 MiB"},
      {"empty body", "recusou o texto vazio"},
  };
  auto body = registry::parseRecord(reply.body);
  std::string error = body ? stringField(*body, "error") : std::string();
  for (const auto& [known, words] : KNOWN) {
    if (error == known) {
      return "a sessão " + session + " " + std::string(words) + "; nada enviado";
    }
  }
  error = base::terminalSafe(error);
  return "a sessão " + session + " recusou o texto (HTTP " + std::to_string(reply.status) +
         (error.empty() ? "" : ": " + error) + "); nada enviado";
}

std::optional<std::string> textProblem(std::string_view text) {
  if (text.size() > MAX_TEXT) {
    return "o texto passa de 1 MiB; nada enviado";
  }
  if (platform::trimUnicodeSpace(text).empty()) {
    return "o texto está vazio; nada enviado";
  }
  return std::nullopt;
}

}  // namespace client
