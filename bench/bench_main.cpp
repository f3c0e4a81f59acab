// cs-bench: every hot path of channel-server held against what the machine allows, one table.
// Usage: cs-bench [--quick] [--only server|channel|proxy] [--binary PATH] [--child PATH]
//        [--stubs DIR]

#include "bench/rows.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <signal.h>
#include <sys/utsname.h>
#include <thread>

namespace {

// The CPU's name where /proc says it; elsewhere the table just says so.
std::string cpuModel() {
  std::ifstream info("/proc/cpuinfo");
  for (std::string line; std::getline(info, line);) {
    if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos) {
      return line.substr(line.find(':') + 2);
    }
  }
  return "unknown (no /proc/cpuinfo)";
}

void printMachine() {
  utsname os{};
  ::uname(&os);
  std::printf("machine: %u cores, cpu %s, %s %s %s, compiler %s\n\n",
              std::thread::hardware_concurrency(), cpuModel().c_str(), os.sysname, os.release,
              os.machine, __VERSION__);
}

}  // namespace

int main(int argc, char** argv) {
  bench::Config config{CS_BINARY_PATH, BENCH_CHILD_PATH, BENCH_STUBS_DIR};
  std::string only;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string* path = arg == "--binary"  ? &config.binary
                        : arg == "--child" ? &config.child
                        : arg == "--stubs" ? &config.stubs
                        : arg == "--only"  ? &only
                                           : nullptr;
    if (arg == "--quick") {
      config.scale = 0.2;
    } else if (path != nullptr && i + 1 < argc) {
      *path = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: %s [--quick] [--only server|channel|proxy] [--binary PATH] "
                   "[--child PATH] [--stubs DIR]\n",
                   argv[0]);
      return 2;
    }
  }
  // A peer that leaves early must fail one sample, not end the bench.
  ::signal(SIGPIPE, SIG_IGN);
  auto start = bench::Clock::now();
  std::vector<bench::Row> rows;
  struct Part {
    const char* name;
    std::vector<bench::Row> (*rows)(const bench::Config&);
  };
  for (Part part : {Part{"server", bench::serverRows}, Part{"channel", bench::channelRows},
                    Part{"proxy", bench::proxyRows}}) {
    if (!only.empty() && only != part.name) {
      continue;
    }
    for (bench::Row& row : part.rows(config)) {
      rows.push_back(std::move(row));
    }
  }
  printMachine();
  bench::printTable(rows);
  std::printf("\nwhole run: %.0f s\n", bench::secondsSince(start));
  return 0;
}
