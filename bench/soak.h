#pragma once

// The soak: a bounded run of mixed load against one channel server, then checks that nothing was
// lost, duplicated, torn, reordered or leaked.

#include "bench/bench.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace soak {

using bench::Clock;
using Json = nlohmann::json;

// What became of each push, by its number. Only the client that drew a number writes its state.
enum class Fate : uint8_t {
  InFlight,   // drawn, being sent; at the end, counts as Uncertain
  Accepted,   // answered 200: exactly one notification
  Refused,    // answered otherwise, or cut off before it was whole: no notification
  Uncertain,  // whole, but the answer never came (reset, error): at most one notification
  Cut,        // reset inside the body: at most one notification, of a prefix of the text
};

template <typename T>
using Flags = std::unique_ptr<std::atomic<T>[]>;

struct Ledger {
  static constexpr uint32_t CAPACITY = 1 << 23;
  // A fresh push number, or nullopt when the ledger is full.
  std::optional<uint32_t> draw() {
    uint32_t n = next++;
    return n < CAPACITY ? std::optional(n) : std::nullopt;
  }
  void settle(uint32_t n, Fate f) { fate[n] = static_cast<uint8_t>(f); }
  // From the stdout reader: one notification for push n, of its whole text or of a prefix.
  void notified(uint32_t n, bool whole) {
    if (n < CAPACITY) {
      ++seen[n];
      prefix[n] = prefix[n] || !whole;
    }
  }
  // Counts answers by client kind and status ("push 200", "reset after connect", ...).
  void count(const std::string& what) {
    std::lock_guard<std::mutex> hold(lock);
    ++counts[what];
  }

  std::atomic<uint32_t> next{0};
  Flags<uint8_t> fate{new std::atomic<uint8_t>[CAPACITY]()};
  Flags<uint8_t> seen{new std::atomic<uint8_t>[CAPACITY]()};  // notifications of each push
  Flags<bool> prefix{new std::atomic<bool>[CAPACITY]()};      // one held only part of its text
  std::mutex lock;
  std::map<std::string, size_t> counts;
};

// The text of push n: quotes, backslash, tab, an inner line break and non-ASCII, no outer blanks.
std::string pushBody(uint32_t n);

// Problems found during the run; the first dozen are kept word for word. Read once all is joined.
struct Problems {
  void add(const std::string& what) {
    std::lock_guard<std::mutex> hold(lock);
    if (++count <= 12) {
      first.push_back(what);
    }
  }
  std::mutex lock;
  size_t count = 0;
  std::vector<std::string> first;
};

// The answer a request must get, in order.
struct Expect {
  Json id;
  std::string method;
  std::string toolText;  // tools/call: the exact result text
};

// Reads every line of the server's standard output: notifications go to the ledger, answers are
// matched against the expected ones in order.
class OutputChecker {
 public:
  OutputChecker(Ledger& ledger, Problems& problems) : m_ledger(ledger), m_problems(problems) {}
  // Call before writing the request, so its answer is never seen first.
  void expect(Expect e);
  void line(const std::string& text);
  size_t outstanding();
  std::atomic<size_t> answers{0}, notifications{0};

 private:
  void answer(const Json& msg);
  void notification(const Json& msg);
  Ledger& m_ledger;
  Problems& m_problems;
  std::mutex m_lock;
  std::deque<Expect> m_expected;
};

// What the load's threads share.
struct Load {
  uint16_t port = 0;
  std::string token;
  Ledger ledger;
  Problems problems;
  std::atomic<bool> stop{false};
  // The behaviour of the app's next connections, queued by the MCP writer in request order.
  std::mutex appLock;
  std::deque<int> appQueue;
};

// HTTP clients of every kind (push, slow, reset; those in `skip` stay out) until `load.stop`.
std::vector<std::thread> startClients(Load& load, unsigned seed, const std::string& skip);
// The stand-in app: answers one connection in the behaviour queued for it.
void serveApp(Load& load, int fd);

// App behaviours a tools/call can ask for, with the answer text the server must return.
enum AppBehaviour { APP_ANSWER, APP_SPLIT, APP_BIG, APP_STALL, APP_CUT, APP_ABRUPT };
std::string expectedToolText(int behaviour, uint32_t n);

}  // namespace soak
