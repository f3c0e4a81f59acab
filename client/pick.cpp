#include "client/pick.h"

#include "base/text.h"
#include "platform/text.h"
#include "registry/registry.h"

namespace client {
namespace {

std::string stringField(const Json& record, const char* key) {
  auto it = record.find(key);
  return it != record.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

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

std::string describe(const Json& record) {
  return "   " + stringField(record, "name") + "  " + stringField(record, "instance") + "  " +
         stringField(record, "cwd");
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
  return Reply{static_cast<int>(status), std::string(text.substr(end + 4))};
}

std::string replyReason(const Reply& reply) {
  std::string reason = std::to_string(reply.status);
  auto body = registry::parseRecord(reply.body);
  std::string error = body ? stringField(*body, "error") : std::string();
  return error.empty() ? reason : reason + " (" + error + ")";
}

}  // namespace client
