// The HTTP channel: push latency and throughput against a minimal loopback echo, and peak memory.

#include "bench/rows.h"
#include "platform/platform.h"

#include <cstdlib>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr double MIB = 1024.0 * 1024.0;

// One exchange: the answer until the other side closes, or empty on failure.
std::string roundTrip(uint16_t port, const std::string& bytes) {
  UniqueFd fd = connectTcp(port);
  std::string answer;
  if (!fd || !sendAll(fd.get(), bytes)) {
    return answer;
  }
  recvAll(fd.get(), &answer, Clock::now() + seconds(10));
  return answer;
}

// Counts the lines on a child's standard output on a thread of its own, until the output ends.
struct LineCounter {
  explicit LineCounter(Child& child)
      : thread([this, &child] {
          while (child.readLine(Clock::now() + seconds(600))) {
            ++lines;
          }
        }) {}
  ~LineCounter() { thread.join(); }
  bool waitFor(size_t n, Clock::time_point deadline) const {
    while (lines.load() < n && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return lines.load() >= n;
  }
  std::atomic<size_t> lines{0};
  std::thread thread;
};

// `clients` threads share `total` calls of `one`; the seconds until all are done and `settled`
// holds, or a negative value when a call failed or the deadline passed.
template <typename One, typename Settled>
double runLoad(size_t clients, size_t total, One one, Settled settled) {
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  auto deadline = Clock::now() + seconds(60);
  auto start = Clock::now();
  std::vector<std::thread> threads;
  for (size_t c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      for (size_t k; (k = next++) < total && Clock::now() < deadline && !failed;) {
        failed = failed || !one(k);
      }
    });
  }
  for (auto& t : threads) {
    t.join();
  }
  if (failed || !settled(deadline)) {
    return -1;
  }
  return secondsSince(start);
}

std::vector<Row> pushRows(const Config& config) {
  Row latency{"push latency: POST → notification line on stdout"};
  latency.limit.what = "bare loopback TCP connect, send, echo received";
  latency.aim = "ratio ≤ 3";
  std::vector<Row> rows;
  TempDir home;
  auto server = startServer(config.binary, home.path(), true);
  // bench-child tcp-echo: the same connect, send, receive and close with nothing behind it.
  auto echo = Child::spawn({config.child, "tcp-echo"}, benchEnv(home.path()), drainErr());
  auto line = echo ? echo->readLine(Clock::now() + seconds(5)) : std::nullopt;
  auto echoPort = static_cast<uint16_t>(line ? std::atoi(line->c_str()) : 0);
  if (!server || echoPort == 0) {
    latency.figure.skipped = "server or echo listener did not start";
    return {latency};
  }
  auto push = [&](size_t k) {
    return pushRequest(server->port, server->token, "bench push " + std::to_string(k));
  };
  auto pushOnce = [&](size_t k) {
    auto start = Clock::now();
    UniqueFd fd = connectTcp(server->port);
    if (!fd || !sendAll(fd.get(), push(k)) || !server->child->readLine(start + seconds(5))) {
      return -1.0;
    }
    double t = secondsSince(start);
    std::string answer;
    recvAll(fd.get(), &answer, start + seconds(5));
    return statusOf(answer) == "200" ? t : -1.0;
  };
  auto echoOnce = [&](size_t k) {
    auto start = Clock::now();
    return roundTrip(echoPort, push(k)).empty() ? -1.0 : secondsSince(start);
  };
  sampleBoth(latency, scaled(config, 2000), pushOnce, echoOnce, 50);
  rows.push_back(latency);

  // Throughput: the notification lines are counted as they arrive, so each run ends when the
  // last push has reached stdout.
  LineCounter lines(*server->child);
  for (size_t clients : {16, 64}) {
    Row row{"push throughput, " + std::to_string(clients) + " concurrent clients"};
    row.unit = Unit::PerSecond;
    row.limit.what = "bare loopback echo exchanges, same clients";
    row.aim = clients == 16 ? "≥ 20000/s" : "";
    size_t total = scaled(config, 20000, 100);
    for (int run = 0; run < 5; ++run) {
      size_t base = lines.lines.load();
      double t = runLoad(
          clients, total,
          [&](size_t k) { return statusOf(roundTrip(server->port, push(k))) == "200"; },
          [&](Clock::time_point until) { return lines.waitFor(base + total, until); });
      if (t > 0) {
        row.figure.samples.add(static_cast<double>(total) / t);
      }
      t = runLoad(
          clients, total, [&](size_t k) { return !roundTrip(echoPort, push(k)).empty(); },
          [](Clock::time_point) { return true; });
      if (t > 0) {
        row.limit.samples.add(static_cast<double>(total) / t);
      }
    }
    if (row.figure.samples.count() == 0) {
      row.figure.skipped = "pushes failed or timed out";
    }
    rows.push_back(row);
  }
  stopServer(*server, Clock::now() + seconds(5));
  return rows;
}

// Peak RSS of a whole server run, as the kernel reports it when the server is reaped.
std::optional<double> peakRss(Server& server) {
  rusage usage{};
  if (!stopServer(server, Clock::now() + seconds(10), &usage)) {
    return std::nullopt;
  }
  return static_cast<double>(maxRssBytes(usage));
}

std::vector<Row> memoryRows(const Config& config) {
  Row idle{"peak RSS, server idle"};
  Row held{"peak RSS, server with 512 connections open"};
  idle.unit = held.unit = Unit::Bytes;
  idle.limit = fixedBudget("aim", 10 * MIB);
  idle.aim = "< 10 MiB";
  held.limit = fixedBudget("aim", 20 * MIB);
  held.aim = "< 20 MiB";
  TempDir home;
  raiseFdLimit(2048);
  for (int run = 0; run < 3; ++run) {
    auto server = startServer(config.binary, home.path(), true);
    std::this_thread::sleep_for(milliseconds(300));
    if (auto rss = server ? peakRss(*server) : std::nullopt) {
      idle.figure.samples.add(*rss);
    }
  }
  for (int run = 0; run < 2; ++run) {
    auto server = startServer(config.binary, home.path(), true);
    if (!server) {
      continue;
    }
    // Headers in, body still to come: each connection stays open, waiting.
    std::string head = "POST / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server->port) +
                       "\r\nx-cv-token: " + server->token + "\r\nContent-Length: 100\r\n\r\n";
    std::vector<UniqueFd> open;
    for (int i = 0; i < 512; ++i) {
      if (UniqueFd fd = connectTcp(server->port); fd && sendAll(fd.get(), head)) {
        open.push_back(std::move(fd));
      }
    }
    // One more evicts the oldest: that one's end proves all 512 were registered.
    std::string extra = roundTrip(server->port, pushRequest(server->port, server->token, "x"));
    pollfd oldest{open.empty() ? -1 : open[0].get(), POLLIN, 0};
    bool full = open.size() == 512 && statusOf(extra) == "200" && ::poll(&oldest, 1, 2000) > 0;
    open.clear();
    if (auto rss = peakRss(*server); full && rss) {
      held.figure.samples.add(*rss);
    }
  }
  if (held.figure.samples.count() == 0) {
    held.figure.skipped = "could not hold 512 connections";
  }
  return {idle, held};
}

}  // namespace

std::vector<Row> channelRows(const Config& config) {
  progress("push latency and throughput");
  std::vector<Row> rows = pushRows(config);
  progress("peak memory");
  std::vector<Row> memory = memoryRows(config);
  rows.insert(rows.end(), memory.begin(), memory.end());
  return rows;
}

}  // namespace bench
