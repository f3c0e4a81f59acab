// The soak's bookkeeping: the fate of every push, and the checks on the server's standard output.

#include "bench/soak.h"

#include <algorithm>
#include <cstdlib>

namespace soak {
namespace {

constexpr std::string_view PREFIX = "soak#";

std::string shortened(const std::string& text) {
  return text.size() <= 160 ? text : text.substr(0, 160) + "…";
}

// The push number in a notification's content, or nullopt when it is not one of ours.
std::optional<uint32_t> pushNumber(const std::string& content) {
  if (content.compare(0, PREFIX.size(), PREFIX) != 0) {
    return std::nullopt;
  }
  char* end = nullptr;
  unsigned long n = std::strtoul(content.c_str() + PREFIX.size(), &end, 10);
  if (end == content.c_str() + PREFIX.size() || *end != '#' || n >= Ledger::CAPACITY) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(n);
}

}  // namespace

std::optional<uint32_t> Ledger::draw() {
  uint32_t n = next++;
  if (n >= CAPACITY) {
    return std::nullopt;
  }
  fate[n] = static_cast<uint8_t>(Fate::InFlight);
  return n;
}

void Ledger::notified(uint32_t n, bool whole) {
  if (n < CAPACITY) {
    ++seen[n];
    prefix[n] = prefix[n] || !whole;
  }
}

std::string pushBody(uint32_t n) {
  return std::string(PREFIX) + std::to_string(n) + "# \"q\" back\\slash\ttab ✓ ünï\nline two " +
         std::string(n % 97, 'x') + " end";
}

void OutputChecker::expect(Expect e) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_expected.push_back(std::move(e));
}

size_t OutputChecker::outstanding() {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_expected.size();
}

void OutputChecker::line(const std::string& text) {
  Json msg = Json::parse(text, nullptr, false);
  if (msg.is_discarded() || !msg.is_object()) {
    m_problems.add("stdout line is not a whole JSON object: " + shortened(text));
    return;
  }
  auto method = msg.find("method");
  if (method != msg.end() && *method == "notifications/claude/channel") {
    notification(msg);
  } else if (msg.contains("id")) {
    answer(msg);
  } else {
    m_problems.add("stdout line is neither answer nor notification: " + shortened(text));
  }
}

void OutputChecker::notification(const Json& msg) {
  ++notifications;
  const Json* params = msg.contains("params") ? &msg["params"] : nullptr;
  if (params == nullptr || !params->is_object() || !params->contains("content") ||
      !(*params)["content"].is_string()) {
    m_problems.add("notification without string content: " + shortened(msg.dump()));
    return;
  }
  const std::string& content = (*params)["content"].get_ref<const std::string&>();
  if (!params->contains("meta") || (*params)["meta"] != Json{{"kind", "wakeword"}}) {
    m_problems.add("notification without meta {\"kind\":\"wakeword\"}: " + shortened(msg.dump()));
  }
  auto n = pushNumber(content);
  if (!n) {
    m_problems.add("notification for no push of ours: " + shortened(content));
    return;
  }
  std::string body = pushBody(*n);
  bool whole = content == body;
  // A client reset inside the body leaves the server the bytes at hand: a prefix, trimmed.
  if (!whole && body.compare(0, content.size(), content) != 0) {
    m_problems.add("notification " + std::to_string(*n) + " altered: " + shortened(content));
  }
  m_ledger.notified(*n, whole);
}

void OutputChecker::answer(const Json& msg) {
  ++answers;
  Expect want;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_expected.empty()) {
      m_problems.add("answer to no request: " + shortened(msg.dump()));
      return;
    }
    want = std::move(m_expected.front());
    m_expected.pop_front();
  }
  if (msg["id"] != want.id) {
    m_problems.add("answer out of order: got id " + msg["id"].dump() + ", expected " +
                   want.id.dump());
    return;
  }
  auto at = [&](const char* path) {
    Json::json_pointer p(path);
    return msg.contains(p) ? msg[p] : Json();
  };
  const std::string& m = want.method;
  Json content = at("/result/content");
  bool ok = m == "ping"             ? at("/result") == Json::object()
            : m == "tools/list"     ? at("/result/tools").is_array() && !at("/result/tools").empty()
            : m == "resources/list" ? at("/result") == Json{{"resources", Json::array()}}
            : m == "initialize"     ? at("/result/serverInfo/name") == "corvane"
            : m == "tools/call"     ? content.is_array() && content.size() == 1 &&
                                      at("/result/content/0/text") == want.toolText
                                : at("/error/code") == -32601;
  if (!ok) {
    m_problems.add(
        "wrong answer to " + want.method + " " + want.id.dump() + ": " + shortened(msg.dump()) +
        (want.toolText.empty() ? "" : " (expected text " + shortened(want.toolText) + ")"));
  }
}

}  // namespace soak
