// cs-bench: every hot path of channel-server held against what the machine allows, one table.
// Usage: cs-bench [--quick] [--only server|channel|proxy|statusline] [--binary PATH]
//                 [--load-seconds N]

#include "bench/bench.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <signal.h>
#include <sys/utsname.h>
#include <tuple>

namespace bench {
namespace {

bool higherIsBetter(Unit unit) {
  return unit == Unit::PerSecond || unit == Unit::BytesPerSecond;
}

std::string format(double v, Unit unit) {
  char buf[64];
  if (std::isnan(v)) {
    return "n/a";
  } else if (unit == Unit::Count) {
    std::snprintf(buf, sizeof(buf), "%.0f", v);
  } else if (unit == Unit::Bytes) {
    std::snprintf(buf, sizeof(buf), "%.1f MiB", v / (1024.0 * 1024.0));
  } else if (higherIsBetter(unit)) {
    std::snprintf(buf, sizeof(buf), unit == Unit::PerSecond ? "%.0f/s" : "%.0f MB/s",
                  unit == Unit::PerSecond ? v : v / 1e6);
  } else {
    const char* fmt = v < 1e-3 ? "%.1f µs" : v < 1 ? "%.2f ms" : "%.2f s";
    std::snprintf(buf, sizeof(buf), fmt, v < 1e-3 ? v * 1e6 : v < 1 ? v * 1e3 : v);
  }
  return buf;
}

// Median and the bad tail: the 99th percentile of a cost, the 1st of a rate.
std::string cell(const Figure& f, Unit unit) {
  if (f.samples.empty()) {
    return "none: every run failed";
  }
  if (f.fixed) {
    return format(percentile(f.samples, 50), unit) + " (budget)";
  }
  double tail = percentile(f.samples, higherIsBetter(unit) ? 1 : 99);
  return format(percentile(f.samples, 50), unit) + " / " + format(tail, unit) +
         " (n=" + std::to_string(f.samples.size()) + ")";
}

std::string ratio(const Row& row) {
  double fig = percentile(row.figure.samples, 50), lim = percentile(row.limit.samples, 50);
  double r = higherIsBetter(row.unit) ? lim / fig : fig / lim;
  char buf[32];
  // A ratio far below 1 keeps its digits: 0.0005 is "2000x faster", not 0.00.
  std::snprintf(buf, sizeof(buf), r > 0 && r < 0.01 ? "%.1e" : "%.2f", r);
  return std::isnan(r) || std::isinf(r) ? "n/a" : buf;
}

// The machine the figures came from; the CPU's name where /proc says it.
void printMachine() {
  std::ifstream info("/proc/cpuinfo");
  std::string line, cpu = "unknown (no /proc/cpuinfo)";
  while (std::getline(info, line) && line.rfind("model name", 0) != 0) {
  }
  if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos) {
    cpu = line.substr(line.find(':') + 2);
  }
  utsname os{};
  ::uname(&os);
  std::printf("machine: %u cores, cpu %s, %s %s %s, compiler %s\n\n",
              std::thread::hardware_concurrency(), cpu.c_str(), os.sysname, os.release, os.machine,
              __VERSION__);
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  Config config{CS_BINARY_PATH, BENCH_CHILD_PATH, BENCH_STUBS_DIR};
  std::string only;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string* path = arg == "--binary" ? &config.binary : arg == "--only" ? &only : nullptr;
    if (arg == "--quick") {
      config.scale = 0.2;
    } else if (arg == "--load-seconds" && i + 1 < argc) {
      config.loadSeconds = std::max(1, std::atoi(argv[++i]));
    } else if (path != nullptr && i + 1 < argc) {
      *path = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: %s [--quick] [--only server|channel|proxy|statusline] [--binary PATH] "
                   "[--load-seconds N]\n",
                   argv[0]);
      return 2;
    }
  }
  // A peer that leaves early must fail one sample, not end the bench.
  ::signal(SIGPIPE, SIG_IGN);
  auto start = Clock::now();
  const std::tuple<const char*, const char*, std::vector<Row> (*)(const Config&)> PARTS[] = {
      {"server", "start-up", startupRows},
      {"server", "MCP round trips and tool call", mcpRows},
      {"channel", "push latency and throughput", pushRows},
      {"channel", "peak memory", memoryRows},
      {"proxy", "proxy throughput and inject latency", proxyRows},
      {"proxy", "idle CPU", idleRows},
      {"statusline", "status line renders and load", statuslineRows}};
  std::vector<Row> rows;
  for (const auto& [part, what, make] : PARTS) {
    if (only.empty() || only == part) {
      // Progress on standard error, so the table on standard output stays clean.
      std::fprintf(stderr, "bench: %s\n", what);
      std::vector<Row> some = make(config);
      rows.insert(rows.end(), some.begin(), some.end());
    }
  }
  printMachine();
  std::printf(
      "| measure | figure: median / tail (n) | limit | limit: median / tail (n) | ratio | "
      "aim |\n|---|---|---|---|---|---|\n");
  for (const Row& row : rows) {
    std::printf("| %s | %s | %s | %s | %s | %s |\n", row.name.c_str(),
                cell(row.figure, row.unit).c_str(), row.limit.what.c_str(),
                cell(row.limit, row.unit).c_str(), ratio(row).c_str(), row.aim.c_str());
  }
  std::printf("\nwhole run: %.0f s\n", secondsSince(start));
  return 0;
}
