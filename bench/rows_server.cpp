// The server's stdio paths (start-up, MCP round trips, the tool call) and the HTTP channel (push
// latency and throughput against a minimal loopback echo, peak memory).

#include "bench/bench.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace bench {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr double MIB = 1024.0 * 1024.0;

// One line out, one line back; the seconds it took, or a negative value on failure.
double roundTrip(Child& child, const std::string& line) {
  auto start = Clock::now();
  return child.write(line) && child.readLine(start + seconds(5)) ? secondsSince(start) : -1;
}

// One exchange over TCP: the answer until the other side closes, or empty on failure.
std::string roundTrip(uint16_t port, const std::string& bytes) {
  UniqueFd fd = connectTcp(port);
  std::string answer;
  if (fd && sendAll(fd.get(), bytes)) {
    recvAll(fd.get(), &answer, Clock::now() + seconds(10));
  }
  return answer;
}

// `clients` threads share `total` calls of `one`, while `alongside` runs on a thread of its own;
// the seconds until all are done, or a negative value when one failed or the deadline passed.
double runLoad(size_t clients, size_t total, const std::function<bool(size_t)>& one,
               const std::function<bool(Clock::time_point)>& alongside) {
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  auto start = Clock::now();
  auto deadline = start + seconds(60);
  std::vector<std::thread> threads;
  threads.emplace_back([&] { failed = !alongside(deadline) || failed; });
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
  return failed ? -1 : secondsSince(start);
}

}  // namespace

std::vector<Row> startupRows(const Config& config) {
  // Channel mode does all that tools-only mode does, and starts the listener as well.
  Row row{"start-up, channel mode: spawn → listener up → `initialize` answer",
          "spawn /bin/true, read its exit", Unit::Seconds, "ratio ≤ 3"};
  TempDir home;
  sampleBoth(
      row, scaled(config, 200),
      [&](size_t) {
        auto start = Clock::now();
        auto server = startServer(config.binary, home.path(), true);
        double t = server ? secondsSince(start) : -1;
        return server && stopServer(*server, Clock::now() + seconds(5)) ? t : -1;
      },
      [&](size_t) {
        auto start = Clock::now();
        auto t = Child::spawn({"/bin/true"}, benchEnv(home.path()), drainErr());
        return t && t->wait(start + seconds(5)) ? secondsSince(start) : -1;
      });
  return {row};
}

std::vector<Row> mcpRows(const Config& config) {
  Row ping{"MCP round trip: `ping`", "one line echoed by `cat` over the same pipes"};
  Row list{"MCP round trip: `tools/list`"};
  Row call{"tool call round trip: `tools/call list_sessions` via stand-in app",
           "bare Unix-socket exchange with the same stand-in app"};
  TempDir home;
  ::mkdir((home / ".corvane").c_str(), 0700);
  std::string sock = home / ".corvane/sessions.sock";
  const std::string answer = "{\"sessions\":[]}\n";
  StandinApp app(sock, [&](int fd) {
    readRequestLine(fd, Clock::now() + seconds(5));
    sendAll(fd, answer);
  });
  auto server = startServer(config.binary, home.path(), false);
  auto cat = Child::spawn({"/bin/cat"}, benchEnv(home.path()), {Err::Discard});
  if (!server || !cat || !app.listening()) {
    return {ping, list, call};
  }
  Child& srv = *server->child;
  srv.write(request(1, "tools/list"));
  size_t listSize = srv.readLine(Clock::now() + seconds(5)).value_or("").size();
  list.limit.what = "a line of the same " + std::to_string(listSize) + " bytes echoed by `cat`";
  std::string pingLine = request(2, "ping"), bigLine = std::string(listSize, 'x') + "\n";
  int id = 10;
  auto asked = [&](const std::string& method, const std::string& params = "") {
    return [&, method, params](size_t) { return roundTrip(srv, request(id++, method, params)); };
  };
  auto echoed = [&](const std::string& line) {
    return [&, line](size_t) { return roundTrip(*cat, line); };
  };
  sampleBoth(ping, scaled(config, 3000), asked("ping"), echoed(pingLine), 50);
  sampleBoth(list, scaled(config, 1000), asked("tools/list"), echoed(bigLine));
  std::string appRequest = "{\"op\":\"list\",\"caller_pid\":1}\n";
  auto bare = [&](size_t) {
    auto start = Clock::now();
    UniqueFd fd = connectUnix(sock);
    std::string got;
    bool ok = fd && sendAll(fd.get(), appRequest) && recvAll(fd.get(), &got, start + seconds(5));
    return ok && got == answer ? secondsSince(start) : -1.0;
  };
  sampleBoth(call, scaled(config, 2000),
             asked("tools/call", R"({"name":"list_sessions","arguments":{}})"), bare, 20);
  stopServer(*server, Clock::now() + seconds(5));
  return {ping, list, call};
}

std::vector<Row> pushRows(const Config& config) {
  Row latency{"push latency: POST → notification line on stdout",
              "bare loopback TCP connect, send, echo received", Unit::Seconds, "ratio ≤ 1.3"};
  TempDir home;
  auto server = startServer(config.binary, home.path(), true);
  // bench-child: the same connect, send, receive and close with nothing behind it.
  auto echo = Child::spawn({config.child}, benchEnv(home.path()), drainErr());
  auto line = echo ? echo->readLine(Clock::now() + seconds(5)) : std::nullopt;
  auto echoPort = static_cast<uint16_t>(line ? std::atoi(line->c_str()) : 0);
  if (!server || echoPort == 0) {
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
  std::vector<Row> rows{latency};
  // Throughput: a run ends when the last push has reached stdout as a notification line.
  for (size_t clients : {16, 64, 256}) {
    Row row{"push throughput, " + std::to_string(clients) + " concurrent clients",
            "bare loopback echo exchanges, same clients", Unit::PerSecond,
            clients < 256 ? "ratio ≤ 1.11 (≥ 0.9× the limit)" : ""};
    size_t total = scaled(config, 20000, 100);
    // Counts the lines as they reach standard output. Like the standard error pump, it reads what
    // came each millisecond instead of waking for every line: it shares the two cores with the
    // server and the clients. A run whose pushes failed stops 2 s after its last line.
    auto notified = [&](Clock::time_point until) {
      std::string held = server->child->readOutFor(milliseconds(0));
      auto lines = static_cast<size_t>(std::count(held.begin(), held.end(), '\n'));
      char chunk[65536];
      int fd = server->child->out();
      while (lines < total && readable(fd, std::min(until, Clock::now() + seconds(2)))) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0 && errno != EAGAIN && errno != EINTR) {
          break;
        }
        lines += static_cast<size_t>(std::count(chunk, chunk + std::max<ssize_t>(n, 0), '\n'));
        std::this_thread::sleep_for(milliseconds(1));
      }
      return lines == total;
    };
    // "Session busy" (more pushers than the 64 a session holds) is tried again, as a pusher would.
    auto pushed = [&](size_t k) {
      std::string status;
      for (int tries = 0; tries < 100 && status != "200"; ++tries) {
        status = statusOf(roundTrip(server->port, push(k)));
        if (status == "503") {
          std::this_thread::sleep_for(milliseconds(1));
        } else if (status != "200") {
          return false;
        }
      }
      return status == "200";
    };
    for (int run = 0; run < 5; ++run) {
      if (double t = runLoad(clients, total, pushed, notified); t > 0) {
        row.figure.samples.push_back(static_cast<double>(total) / t);
      }
      auto echoed = [&](size_t k) { return !roundTrip(echoPort, push(k)).empty(); };
      if (double t = runLoad(clients, total, echoed, [](auto) { return true; }); t > 0) {
        row.limit.samples.push_back(static_cast<double>(total) / t);
      }
    }
    rows.push_back(row);
  }
  stopServer(*server, Clock::now() + seconds(5));
  return rows;
}

std::vector<Row> memoryRows(const Config& config) {
  Row idle{"RSS, server idle", "", Unit::Bytes, "< 10 MiB"};
  Row held{"RSS, server with 512 connections open", "", Unit::Bytes, "< 20 MiB"};
  idle.limit = fixedBudget("aim", 10 * MIB);
  held.limit = fixedBudget("aim", 20 * MIB);
  TempDir home;
  raiseFdLimit(2048);
  // The resident size read from the OS while the server runs: the ru_maxrss of a reaped child
  // also counts, on Linux, the high-water mark of the process that spawned it (the bench).
  auto resident = [](Server& server, Figure& into) {
    ProcessStats stats;
    if (processStats(server.child->pid(), &stats) && stats.residentBytes > 0) {
      into.samples.push_back(static_cast<double>(stats.residentBytes));
    }
  };
  for (int run = 0; run < 5; ++run) {
    auto server = startServer(config.binary, home.path(), true);
    if (!server) {
      continue;
    }
    if (run < 3) {
      std::this_thread::sleep_for(milliseconds(300));
      resident(*server, idle.figure);
      stopServer(*server, Clock::now() + seconds(10));
      continue;
    }
    // Headers in, body still to come: each connection stays open, waiting.
    std::string head = pushRequest(server->port, server->token, "");
    head.replace(head.find("Content-Length: 0"), 17, "Content-Length: 100");
    std::vector<UniqueFd> open;
    for (int i = 0; i < 512; ++i) {
      if (UniqueFd fd = connectTcp(server->port); fd && sendAll(fd.get(), head)) {
        open.push_back(std::move(fd));
      }
    }
    // One more evicts the oldest: that one's end proves all 512 were registered.
    std::string extra = roundTrip(server->port, pushRequest(server->port, server->token, "x"));
    bool full = open.size() == 512 && statusOf(extra) == "200" &&
                testkit::readable(open[0].get(), Clock::now() + std::chrono::seconds(2));
    if (full) {
      resident(*server, held.figure);
    }
    open.clear();
    stopServer(*server, Clock::now() + seconds(10));
  }
  return {idle, held};
}

}  // namespace bench
