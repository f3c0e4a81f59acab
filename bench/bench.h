#pragma once

// What the bench and the soak add to testkit/: the server started and stopped, push requests, and
// the rows of `make bench`. Each row holds a figure against a limit measured in the same run (or,
// for memory and idle CPU, a fixed budget), from repeated runs bounded in count and time.

#include "testkit/net.h"
#include "testkit/process.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bench {

using namespace testkit;

// The environment of every process the bench starts: baseEnv in the C locale, plus `extra`.
Env benchEnv(const std::string& home, const std::string& pathFirst = "", const Env& extra = {});
// Standard error read and dropped on a thread, as the figures were taken.
inline SpawnOptions drainErr() {
  return {Err::Lines, [](auto) {}};
}

// The channel-server in server mode with its `initialize` answered; port and token for channel
// mode. Standard error lines go to `onErrLine` as well.
struct Server {
  std::unique_ptr<Child> child;
  uint16_t port = 0;
  std::string token;
};
std::optional<Server> startServer(const std::string& binary, const std::string& home, bool channel,
                                  Child::LineFn onErrLine = {});
// Closes its input and waits for the exit status.
inline std::optional<int> stopServer(Server& server, Clock::time_point deadline,
                                     rusage* usage = nullptr) {
  server.child->closeInput();
  return server.child->wait(deadline, usage);
}

std::string pushRequest(uint16_t port, const std::string& token, std::string_view body);
// "200" from "HTTP/1.1 200 OK ..."; empty when the answer has no status line.
std::string statusOf(std::string_view answer);
// Raises our descriptor limit toward `wanted` (the 512-connection rows need it).
void raiseFdLimit(rlim_t wanted);

// Durations, sizes or rates of repeated runs, and their nearest-rank percentile, 0 < p <= 100
// (NaN when empty).
using Samples = std::vector<double>;
double percentile(const Samples& samples, double p);

enum class Unit { Seconds, Bytes, PerSecond, BytesPerSecond, Count };
struct Figure {
  std::string what;
  Samples samples;
  bool fixed = false;  // a budget, not a measurement
};
struct Row {
  explicit Row(std::string what, std::string limitWhat = "", Unit u = Unit::Seconds,
               std::string target = "")
      : name(what), unit(u), limit{limitWhat, {}, false}, aim(target) {}
  std::string name;
  Unit unit = Unit::Seconds;
  Figure figure;
  Figure limit;
  std::string aim;  // the target this row is judged by, if any
};

struct Config {
  std::string binary;    // channel-server
  std::string child;     // bench-child
  std::string stubs;     // folder holding the stand-in `claude`
  double scale = 1.0;    // below 1 for a quick run: fewer samples, smaller payloads
  int loadSeconds = 10;  // the status line's load row
};

// The parts of the table, in the order printed.
std::vector<Row> startupRows(const Config& config);
std::vector<Row> mcpRows(const Config& config);  // and the tool call through a stand-in app
std::vector<Row> pushRows(const Config& config);
std::vector<Row> memoryRows(const Config& config);
std::vector<Row> proxyRows(const Config& config);  // throughput and inject latency
std::vector<Row> idleRows(const Config& config);
std::vector<Row> statuslineRows(const Config& config);

inline Figure fixedBudget(const std::string& what, double value) {
  return {what, {value}, true};
}
// Figure and limit sampled in turn, `count` times or for 20 s, after `warm` unrecorded rounds; a
// negative time is a failed sample.
void sampleBoth(Row& row, size_t count, const std::function<double(size_t)>& figure,
                const std::function<double(size_t)>& limit, size_t warm = 0);
// A count scaled for a quick run, never below `floor`.
size_t scaled(const Config& config, size_t count, size_t floor = 10);

}  // namespace bench
