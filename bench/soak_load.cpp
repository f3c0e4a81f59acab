// The soak's load (HTTP clients of every kind, the stand-in app's behaviours) and its
// bookkeeping (the fate of every push, the checks on the server's standard output).

#include "bench/soak.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace soak {
namespace {

// The value at `path` in `msg`, null when there is none.
Json at(const Json& msg, const char* path) {
  Json::json_pointer p(path);
  return msg.contains(p) ? msg[p] : Json();
}

constexpr std::string_view PREFIX = "soak#";

std::string shortened(const std::string& text) {
  return text.size() <= 160 ? text : text.substr(0, 160) + "…";
}

// The push number in a notification's content, or nullopt when it is not one of ours.
std::optional<uint32_t> pushNumber(const std::string& content) {
  unsigned n = 0;
  char hash = 0;
  bool ours = std::sscanf(content.c_str(), "soak#%u%c", &n, &hash) == 2 && hash == '#';
  return ours && n < Ledger::CAPACITY ? std::optional(n) : std::nullopt;
}

using std::chrono::milliseconds;
using std::chrono::seconds;

void sleepFor(Load& load, milliseconds span) {
  for (auto until = Clock::now() + span; !load.stop && Clock::now() < until;) {
    std::this_thread::sleep_for(std::min(milliseconds(20), span));
  }
}

int stallMillis(uint32_t n) {
  return 300 + static_cast<int>(n * 7919 % 1700);
}

// A slow client sends the request in 3 to 10 pieces, 20 to 300 ms apart; every client then reads
// the answer until the server closes.
void push(Load& load, std::mt19937& rng, const std::string& kind, bool slow) {
  auto n = load.ledger.draw();
  if (!n) {
    return;
  }
  std::string request = bench::pushRequest(load.port, load.token, pushBody(*n));
  size_t step = request.size() / (slow ? std::uniform_int_distribution<size_t>(3, 10)(rng) : 1) + 1;
  auto pause = milliseconds(slow ? std::uniform_int_distribution<int>(20, 300)(rng) : 0);
  bench::UniqueFd fd = bench::connectTcp(load.port);
  bool sentAll = static_cast<bool>(fd);
  for (size_t at = 0; at < request.size() && sentAll; at += step) {
    std::this_thread::sleep_for(at > 0 ? pause : milliseconds(0));
    sentAll = bench::sendAll(fd.get(), request.substr(at, step));
  }
  std::string answer;
  if (fd) {
    bench::recvAll(fd.get(), &answer, Clock::now() + seconds(15));
  }
  std::string status = bench::statusOf(answer);
  load.ledger.count(kind + " " + (status.empty() ? "no answer" : status));
  if (status == "200") {
    load.ledger.settle(*n, Fate::Accepted);
  } else if (!status.empty() || !sentAll) {
    load.ledger.settle(*n, sentAll ? Fate::Refused : Fate::Uncertain);
  } else {
    load.ledger.settle(*n, Fate::Uncertain);
    load.problems.add(kind + ": whole push " + std::to_string(*n) + " got no answer in 15 s");
  }
}

// Resets the connection after connecting, inside the head, inside the body, or after the whole
// request, in turn.
void reset(Load& load, std::mt19937& rng, uint32_t round) {
  auto n = load.ledger.draw();
  if (!n) {
    return;
  }
  std::string request = bench::pushRequest(load.port, load.token, pushBody(*n));
  size_t bodyAt = request.find("\r\n\r\n") + 4;
  // Inside the body: past the push number, so a prefix the server may push still names its push.
  size_t named = bodyAt + pushBody(*n).find('#', 5) + 1;
  size_t cut = round % 4 == 0   ? 0
               : round % 4 == 1 ? std::uniform_int_distribution<size_t>(1, bodyAt - 1)(rng)
               : round % 4 == 2
                   ? std::uniform_int_distribution<size_t>(named, request.size() - 1)(rng)
                   : request.size();
  load.ledger.settle(*n, cut == request.size() ? Fate::Uncertain
                         : cut > bodyAt        ? Fate::Cut
                                               : Fate::Refused);
  bench::UniqueFd fd = bench::connectTcp(load.port);
  if (fd && cut > 0) {
    bench::sendAll(fd.get(), request.substr(0, cut));
  }
  const char* const AFTER[] = {"connect", "part of the head", "part of the body", "whole request"};
  load.ledger.count("reset after " + std::string(AFTER[round % 4]));
  bench::resetClose(std::move(fd));
}

}  // namespace

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
  if (!at(msg, "/params/content").is_string() ||
      at(msg, "/params/meta") != Json{{"kind", "wakeword"}}) {
    m_problems.add("notification without string content or meta {\"kind\":\"wakeword\"}: " +
                   shortened(msg.dump()));
    return;
  }
  std::string content = msg["params"]["content"];
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
  const std::string& m = want.method;
  Json content = at(msg, "/result/content"), tools = at(msg, "/result/tools");
  bool ok = m == "ping"             ? at(msg, "/result") == Json::object()
            : m == "tools/list"     ? tools.is_array() && !tools.empty()
            : m == "resources/list" ? at(msg, "/result") == Json{{"resources", Json::array()}}
            : m == "initialize"     ? at(msg, "/result/serverInfo/name") == "corvane"
            : m == "tools/call"     ? content.is_array() && content.size() == 1 &&
                                      at(msg, "/result/content/0/text") == want.toolText
                                : at(msg, "/error/code") == -32601;
  if (!ok) {
    m_problems.add(
        "wrong answer to " + want.method + " " + want.id.dump() + ": " + shortened(msg.dump()) +
        (want.toolText.empty() ? "" : " (expected text " + shortened(want.toolText) + ")"));
  }
}

std::string expectedToolText(int behaviour, uint32_t n) {
  std::string id = "{\"soak\":" + std::to_string(n);
  switch (behaviour) {
    case APP_ANSWER:
      return id + "}";
    case APP_SPLIT:
      return id + ",\"split\":true}";
    case APP_BIG:
      return id + ",\"pad\":\"" + std::string(100000, 'z') + "\"}";
    case APP_STALL:
      return id + ",\"stalled\":" + std::to_string(stallMillis(n)) + "}";
    case APP_CUT:
      return id + ",\"cut";
    default:
      return "{\"error\":\"empty response from the app\"}";
  }
}

std::vector<std::thread> startClients(Load& load, unsigned seed, const std::string& skip) {
  std::vector<std::thread> threads;
  // Thread counts per kind: mostly plain pushes, a few of each awkward client.
  const std::tuple<const char*, int, void (*)(Load&, std::mt19937&, uint32_t)> KINDS[] = {
      {"push", 24, [](Load& l, std::mt19937& rng, uint32_t) { push(l, rng, "push", false); }},
      {"slow", 4, [](Load& l, std::mt19937& rng, uint32_t) { push(l, rng, "slow push", true); }},
      {"reset", 2, reset}};
  for (const auto& [kind, count, body] : KINDS) {
    if (("," + skip + ",").find("," + std::string(kind) + ",") != std::string::npos) {
      continue;
    }
    for (int i = 0; i < count; ++i) {
      unsigned s = seed + static_cast<unsigned>(threads.size()) * 7919u;
      threads.emplace_back([&load, s, body = body] {
        std::mt19937 rng(s);
        for (uint32_t round = 0; !load.stop; ++round) {
          body(load, rng, round);
          sleepFor(load, milliseconds(std::uniform_int_distribution<int>(0, 6)(rng)));
        }
      });
    }
  }
  return threads;
}

void serveApp(Load& load, int fd) {
  int behaviour = -1;
  {
    std::lock_guard<std::mutex> hold(load.appLock);
    if (!load.appQueue.empty()) {
      behaviour = load.appQueue.front();
      load.appQueue.pop_front();
    }
  }
  if (behaviour == APP_ABRUPT) {
    return;  // closed before the request is read
  }
  std::string line = bench::readRequestLine(fd, Clock::now() + seconds(5));
  Json request = Json::parse(line, nullptr, false);
  std::string name = request.is_object() && request.contains("name") && request["name"].is_string()
                         ? request["name"].get<std::string>()
                         : "";
  size_t dash = name.find('-');
  if (behaviour < 0 || dash == std::string::npos ||
      std::atoi(name.substr(0, dash).c_str()) != behaviour) {
    load.problems.add("app got an unexpected request: " + line.substr(0, 160));
    return;
  }
  auto n = static_cast<uint32_t>(std::strtoul(name.c_str() + dash + 1, nullptr, 10));
  std::string text = expectedToolText(behaviour, n);
  if (behaviour == APP_SPLIT) {
    bench::sendAll(fd, text.substr(0, text.size() / 2));
    std::this_thread::sleep_for(milliseconds(30));
    text.erase(0, text.size() / 2);
  } else if (behaviour == APP_STALL) {
    sleepFor(load, milliseconds(stallMillis(n)));
  }
  // No line feed after a cut answer: the app closes mid-answer.
  bench::sendAll(fd, behaviour == APP_CUT ? text : text + "\n");
}

}  // namespace soak
