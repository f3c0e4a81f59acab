#pragma once

// The soak: a bounded run of mixed load against one channel server, then checks that nothing was
// lost, duplicated, torn, reordered or leaked.

#include "bench/bench.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace soak {

using bench::Clock;
using Json = nlohmann::json;

// What became of each push, by its number. Only the client that drew a number writes its state.
enum class Fate : uint8_t {
  Unused,     // never sent
  InFlight,   // being sent; at the end, counts as Uncertain
  Accepted,   // answered 200: exactly one notification
  Refused,    // answered otherwise, or cut off before it was whole: no notification
  Uncertain,  // whole, but the answer never came (reset, error): at most one notification
  Cut,        // reset inside the body: at most one notification, of a prefix of the text
};

class Ledger {
 public:
  static constexpr uint32_t CAPACITY = 1 << 23;
  Ledger();
  // A fresh push number, or nullopt when the ledger is full.
  std::optional<uint32_t> draw();
  void settle(uint32_t n, Fate fate);
  // From the stdout reader: one notification for push n, of its whole text or of a prefix.
  void notified(uint32_t n, bool whole);
  Fate fate(uint32_t n) const { return static_cast<Fate>(m_fate[n].load()); }
  // Seen: the count in the low seven bits, the top bit once one held only a prefix of the text.
  uint8_t notifications(uint32_t n) const { return m_seen[n].load() & 0x7f; }
  bool sawPrefix(uint32_t n) const { return (m_seen[n].load() & 0x80) != 0; }
  uint32_t drawn() const { return m_next.load(); }
  // Counts answers by client kind and status ("push 200", "oversized 413", ...).
  void count(const std::string& what) {
    std::lock_guard<std::mutex> hold(m_lock);
    ++m_counts[what];
  }
  std::map<std::string, size_t> counts() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_counts;
  }

 private:
  std::atomic<uint32_t> m_next{0};
  std::unique_ptr<std::atomic<uint8_t>[]> m_fate;
  std::unique_ptr<std::atomic<uint8_t>[]> m_seen;
  std::mutex m_lock;
  std::map<std::string, size_t> m_counts;
};

// The text of push n: quotes, backslash, tab, an inner line break and non-ASCII, no outer blanks.
std::string pushBody(uint32_t n);
// The push number in a notification's content, or nullopt when it is not one of ours.
std::optional<uint32_t> pushNumber(const std::string& content);

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
  size_t answers() const { return m_answers.load(); }
  size_t notifications() const { return m_notifications.load(); }

 private:
  void answer(const Json& msg);
  void notification(const Json& msg);
  Ledger& m_ledger;
  Problems& m_problems;
  std::mutex m_lock;
  std::deque<Expect> m_expected;
  std::atomic<size_t> m_answers{0};
  std::atomic<size_t> m_notifications{0};
};

// Set once the load must end.
struct Control {
  std::atomic<bool> stop{false};
};

struct Target {
  uint16_t port = 0;
  std::string token;
  std::string appSocket;
};

// The load: HTTP clients of every kind, and the stand-in app's behaviours, until `control.stop`.
class Load {
 public:
  Load(const Target& target, Ledger& ledger, Problems& problems, Control& control);
  ~Load();
  // Client kinds: push, slow, reset; those in `skip` stay out.
  void start(unsigned seed, const std::string& skip);
  void join();
  // The behaviour of the app's next connection, queued by the MCP writer in request order.
  void queueAppBehaviour(int behaviour);
  // Handles one app connection.
  void serveApp(int fd);

 private:
  struct Impl;
  std::unique_ptr<Impl> m;
};

// App behaviours a tools/call can ask for, with the answer text the server must return.
enum AppBehaviour { APP_ANSWER, APP_SPLIT, APP_BIG, APP_STALL, APP_CUT, APP_ABRUPT };
std::string appArgument(int behaviour, uint32_t n);
std::string expectedToolText(int behaviour, uint32_t n);

}  // namespace soak
