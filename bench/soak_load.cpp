// The soak's load: HTTP clients of every kind, and the stand-in app's behaviours.

#include "bench/soak.h"

#include <algorithm>
#include <cstdlib>
#include <random>
#include <sys/socket.h>

namespace soak {
namespace {

using bench::UniqueFd;
using std::chrono::milliseconds;
using std::chrono::seconds;

struct Outcome {
  bool sentAll = false;
  std::string status;  // empty when no answer came
};

void sleepFor(Control& control, milliseconds span) {
  auto until = Clock::now() + span;
  while (!control.stop && Clock::now() < until) {
    std::this_thread::sleep_for(std::min(milliseconds(20), span));
  }
}

// Sends the request in `pieces` equal parts `pause` apart, then reads the answer until the server
// closes.
Outcome converse(uint16_t port, const std::string& request, size_t pieces, milliseconds pause) {
  Outcome out;
  UniqueFd fd = bench::connectTcp(port);
  out.sentAll = static_cast<bool>(fd);
  size_t step = request.size() / pieces + 1;
  for (size_t at = 0; at < request.size() && out.sentAll; at += step) {
    std::this_thread::sleep_for(at > 0 ? pause : milliseconds(0));
    out.sentAll = bench::sendAll(fd.get(), request.substr(at, step));
  }
  std::string answer;
  if (fd) {
    bench::recvAll(fd.get(), &answer, Clock::now() + seconds(15));
  }
  out.status = bench::statusOf(answer);
  return out;
}

int stallMillis(uint32_t n) {
  return 300 + static_cast<int>(n * 7919 % 1700);
}

}  // namespace

std::string appArgument(int behaviour, uint32_t n) {
  return std::to_string(behaviour) + "-" + std::to_string(n);
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

struct Load::Impl {
  Target target;
  Ledger& ledger;
  Problems& problems;
  Control& control;
  std::vector<std::thread> threads;
  std::mutex appLock;
  std::deque<int> appQueue;

  void push(std::mt19937& rng, const std::string& kind, bool slow);
  void reset(std::mt19937& rng, uint32_t round);
};

void Load::Impl::push(std::mt19937& rng, const std::string& kind, bool slow) {
  auto n = ledger.draw();
  if (!n) {
    return;
  }
  // A slow client sends the request in 3 to 10 pieces, 20 to 300 ms apart.
  Outcome out = converse(target.port, bench::pushRequest(target.port, target.token, pushBody(*n)),
                         slow ? std::uniform_int_distribution<size_t>(3, 10)(rng) : 1,
                         milliseconds(slow ? std::uniform_int_distribution<int>(20, 300)(rng) : 0));
  ledger.count(kind + " " + (out.status.empty() ? "no answer" : out.status));
  if (out.status == "200") {
    ledger.settle(*n, Fate::Accepted);
  } else if (!out.status.empty() || !out.sentAll) {
    ledger.settle(*n, out.sentAll ? Fate::Refused : Fate::Uncertain);
  } else {
    ledger.settle(*n, Fate::Uncertain);
    problems.add(kind + ": whole push " + std::to_string(*n) + " got no answer in 15 s");
  }
}

void Load::Impl::reset(std::mt19937& rng, uint32_t round) {
  auto n = ledger.draw();
  if (!n) {
    return;
  }
  std::string request = bench::pushRequest(target.port, target.token, pushBody(*n));
  size_t bodyAt = request.find("\r\n\r\n") + 4;
  size_t cut = 0;
  switch (round % 4) {
    case 0:
      break;  // nothing sent at all
    case 1:
      cut = std::uniform_int_distribution<size_t>(1, bodyAt - 1)(rng);
      break;
    case 2: {
      // Past the push number, so a prefix the server may push still names its push.
      size_t named = bodyAt + pushBody(*n).find('#', 5) + 1;
      cut = std::uniform_int_distribution<size_t>(named, request.size() - 1)(rng);
      break;
    }
    default:
      cut = request.size();  // whole, reset before the answer is read
  }
  ledger.settle(*n, cut == request.size() ? Fate::Uncertain
                    : cut > bodyAt        ? Fate::Cut
                                          : Fate::Refused);
  UniqueFd fd = bench::connectTcp(target.port);
  if (fd && cut > 0) {
    bench::sendAll(fd.get(), request.substr(0, cut));
  }
  const char* const AFTER[] = {"connect", "part of the head", "part of the body", "whole request"};
  ledger.count("reset after " + std::string(AFTER[round % 4]));
  bench::resetClose(std::move(fd));
}

Load::Load(const Target& target, Ledger& ledger, Problems& problems, Control& control)
    : m(new Impl{target, ledger, problems, control, {}, {}, {}}) {}

Load::~Load() {
  join();
}

void Load::start(unsigned seed, const std::string& skip) {
  // Thread counts per kind: mostly plain pushes, a few of each awkward client.
  auto spawn = [&](const char* kind, int count, auto body) {
    if (("," + skip + ",").find("," + std::string(kind) + ",") != std::string::npos) {
      return;
    }
    for (int i = 0; i < count; ++i) {
      unsigned s = seed + static_cast<unsigned>(m->threads.size()) * 7919u;
      m->threads.emplace_back([this, s, body] {
        std::mt19937 rng(s);
        for (uint32_t round = 0; !m->control.stop; ++round) {
          body(*m, rng, round);
          sleepFor(m->control, milliseconds(std::uniform_int_distribution<int>(0, 6)(rng)));
        }
      });
    }
  };
  spawn("push", 24, [](Impl& l, std::mt19937& rng, uint32_t) { l.push(rng, "push", false); });
  spawn("slow", 4, [](Impl& l, std::mt19937& rng, uint32_t) { l.push(rng, "slow push", true); });
  spawn("reset", 2, [](Impl& l, std::mt19937& rng, uint32_t round) { l.reset(rng, round); });
}

void Load::join() {
  for (auto& t : m->threads) {
    if (t.joinable()) {
      t.join();
    }
  }
}

void Load::queueAppBehaviour(int behaviour) {
  std::lock_guard<std::mutex> hold(m->appLock);
  m->appQueue.push_back(behaviour);
}

void Load::serveApp(int fd) {
  int behaviour = -1;
  {
    std::lock_guard<std::mutex> hold(m->appLock);
    if (!m->appQueue.empty()) {
      behaviour = m->appQueue.front();
      m->appQueue.pop_front();
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
    m->problems.add("app got an unexpected request: " + line.substr(0, 160));
    return;
  }
  auto n = static_cast<uint32_t>(std::strtoul(name.c_str() + dash + 1, nullptr, 10));
  std::string text = expectedToolText(behaviour, n);
  switch (behaviour) {
    case APP_SPLIT: {
      size_t half = text.size() / 2;
      bench::sendAll(fd, text.substr(0, half));
      std::this_thread::sleep_for(milliseconds(30));
      bench::sendAll(fd, text.substr(half) + "\n");
      break;
    }
    case APP_STALL:
      sleepFor(m->control, milliseconds(stallMillis(n)));
      bench::sendAll(fd, text + "\n");
      break;
    case APP_CUT:
      bench::sendAll(fd, text);  // no line feed: the app closes mid-answer
      break;
    default:
      bench::sendAll(fd, text + "\n");
  }
}

}  // namespace soak
