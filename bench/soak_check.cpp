// The soak's bookkeeping: the fate of every push, and the checks on the server's standard output.

#include "bench/soak.h"

#include <algorithm>
#include <cstdlib>

namespace soak {
namespace {

constexpr std::string_view PREFIX = "soak#";
constexpr size_t KEEP_PROBLEMS = 12;

std::string shortened(const std::string& text) {
  return text.size() <= 160 ? text : text.substr(0, 160) + "…";
}

}  // namespace

Ledger::Ledger()
    : m_fate(new std::atomic<uint8_t>[CAPACITY]), m_seen(new std::atomic<uint8_t>[CAPACITY]) {
  for (uint32_t i = 0; i < CAPACITY; ++i) {
    m_fate[i] = static_cast<uint8_t>(Fate::Unused);
    m_seen[i] = 0;
  }
}

std::optional<uint32_t> Ledger::draw() {
  uint32_t n = m_next++;
  if (n >= CAPACITY) {
    return std::nullopt;
  }
  m_fate[n] = static_cast<uint8_t>(Fate::InFlight);
  return n;
}

void Ledger::settle(uint32_t n, Fate fate) {
  m_fate[n] = static_cast<uint8_t>(fate);
}

// m_seen: the count in the low seven bits (saturating: two is already one too many), and the top
// bit once a notification held only a prefix of the text.
constexpr uint8_t PREFIX_SEEN = 0x80;

void Ledger::notified(uint32_t n, bool whole) {
  if (n >= CAPACITY) {
    return;
  }
  uint8_t seen = m_seen[n].load();
  for (;;) {
    uint8_t next = static_cast<uint8_t>((seen & PREFIX_SEEN) | (whole ? 0 : PREFIX_SEEN) |
                                        std::min<int>((seen & 0x7f) + 1, 0x7f));
    if (m_seen[n].compare_exchange_weak(seen, next)) {
      return;
    }
  }
}

bool Ledger::sawPrefix(uint32_t n) const {
  return (m_seen[n].load() & PREFIX_SEEN) != 0;
}

Fate Ledger::fate(uint32_t n) const {
  return static_cast<Fate>(m_fate[n].load());
}

uint8_t Ledger::notifications(uint32_t n) const {
  return m_seen[n].load() & 0x7f;
}

void Ledger::count(const std::string& what) {
  std::lock_guard<std::mutex> hold(m_lock);
  ++m_counts[what];
}

std::map<std::string, size_t> Ledger::counts() {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_counts;
}

std::string pushBody(uint32_t n) {
  return std::string(PREFIX) + std::to_string(n) + "# \"q\" back\\slash\ttab ✓ ünï\nline two " +
         std::string(n % 97, 'x') + " end";
}

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

void Problems::add(const std::string& what) {
  std::lock_guard<std::mutex> hold(m_lock);
  ++m_count;
  if (m_first.size() < KEEP_PROBLEMS) {
    m_first.push_back(what);
  }
}

size_t Problems::count() {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_count;
}

std::vector<std::string> Problems::first() {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_first;
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
  ++m_notifications;
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
  ++m_answers;
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
  bool ok = false;
  // value() throws on a member of the wrong type; that is a wrong answer, not a crash.
  try {
    const Json* result = msg.contains("result") ? &msg["result"] : nullptr;
    if (want.method == "ping") {
      ok = result != nullptr && *result == Json::object();
    } else if (want.method == "tools/list") {
      ok = result != nullptr && result->contains("tools") && (*result)["tools"].is_array() &&
           !(*result)["tools"].empty();
    } else if (want.method == "resources/list") {
      ok = result != nullptr && *result == Json{{"resources", Json::array()}};
    } else if (want.method == "initialize") {
      ok = result != nullptr && result->contains("serverInfo") &&
           (*result)["serverInfo"].value("name", "") == "corvane";
    } else if (want.method == "tools/call") {
      ok = result != nullptr && result->contains("content") && (*result)["content"].is_array() &&
           (*result)["content"].size() == 1 &&
           (*result)["content"][0].value("text", std::string("\x01")) == want.toolText;
    } else {
      ok = msg.contains("error") && msg["error"].value("code", 0) == -32601;
    }
  } catch (const Json::exception&) {
    ok = false;
  }
  if (!ok) {
    m_problems.add(
        "wrong answer to " + want.method + " " + want.id.dump() + ": " + shortened(msg.dump()) +
        (want.toolText.empty() ? "" : " (expected text " + shortened(want.toolText) + ")"));
  }
}

}  // namespace soak
