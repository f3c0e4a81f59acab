#pragma once

// What the bench and the soak add to testkit/: the server started and stopped, push requests, and
// sample statistics.

#include "testkit/net.h"
#include "testkit/process.h"

#include <memory>
#include <optional>
#include <string>
#include <sys/resource.h>
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
std::optional<int> stopServer(Server& server, Clock::time_point deadline, rusage* usage = nullptr);

std::string pushRequest(uint16_t port, const std::string& token, std::string_view body);
// "200" from "HTTP/1.1 200 OK ..."; empty when the answer has no status line.
std::string statusOf(std::string_view answer);

// Durations, sizes or rates of repeated runs.
struct Samples {
  std::vector<double> values;
  void add(double v) { values.push_back(v); }
  size_t count() const { return values.size(); }
  // Nearest-rank percentile, 0 < p <= 100; NaN when empty.
  double percentile(double p) const;
  double median() const { return percentile(50); }
};

// Raises our descriptor limit toward `wanted` (the 512-connection rows need it).
void raiseFdLimit(rlim_t wanted);

}  // namespace bench
