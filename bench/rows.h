#pragma once

// The rows of `make bench`. Each holds a figure against a limit measured in the same run (or, for
// memory and idle CPU, a fixed budget), from repeated runs bounded in count and time.

#include "bench/support.h"

#include <functional>
#include <string>
#include <vector>

namespace bench {

enum class Unit { Seconds, Bytes, PerSecond, BytesPerSecond };

struct Figure {
  std::string what;
  Samples samples;
  bool fixed = false;   // a budget, not a measurement
  std::string skipped;  // why there is no figure
};

struct Row {
  explicit Row(std::string what) : name(std::move(what)) {}
  std::string name;
  Unit unit = Unit::Seconds;
  Figure figure;
  Figure limit;
  std::string aim;  // the target this row is judged by, if any
};

struct Config {
  std::string binary;  // channel-server
  std::string child;   // bench-child
  std::string stubs;   // folder holding the stand-in `claude`
  double scale = 1.0;  // below 1 for a quick run: fewer samples, smaller payloads
};

// Start-up, MCP round trips over the pipes, tool call through a stand-in app.
std::vector<Row> serverRows(const Config& config);
// Push latency and throughput, peak memory.
std::vector<Row> channelRows(const Config& config);
// Terminal proxy throughput and inject latency; idle CPU of the proxy and the server.
std::vector<Row> proxyRows(const Config& config);

Figure fixedBudget(const std::string& what, double value);
// Figure and limit sampled in turn, `count` times or for 20 s, after `warm` unrecorded rounds; a
// negative time is a failed sample.
void sampleBoth(Row& row, size_t count, const std::function<double(size_t)>& figure,
                const std::function<double(size_t)>& limit, size_t warm = 0);
// A count scaled for a quick run, never below `floor`.
size_t scaled(const Config& config, size_t count, size_t floor = 10);
// One progress line on standard error, so the table on standard output stays clean.
void progress(const std::string& line);

void printTable(const std::vector<Row>& rows);

}  // namespace bench
