// cs-bench: every hot path of channel-server held against what the machine allows, one table.
// Usage: cs-bench [--quick] [--only server|channel|proxy] [--binary PATH] [--child PATH]
//        [--stubs DIR]

#include "bench/rows.h"

#include <cstdio>
#include <fstream>
#include <signal.h>
#include <sys/utsname.h>
#include <thread>

// The machine the figures came from; the CPU's name where /proc says it.
static void printMachine() {
  std::ifstream info("/proc/cpuinfo");
  std::string cpu = "unknown (no /proc/cpuinfo)";
  for (std::string line; std::getline(info, line);) {
    if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos) {
      cpu = line.substr(line.find(':') + 2);
      break;
    }
  }
  utsname os{};
  ::uname(&os);
  std::printf("machine: %u cores, cpu %s, %s %s %s, compiler %s\n\n",
              std::thread::hardware_concurrency(), cpu.c_str(), os.sysname, os.release, os.machine,
              __VERSION__);
}

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
  for (auto [name, part] :
       {std::pair{"server", &bench::serverRows}, std::pair{"channel", &bench::channelRows},
        std::pair{"proxy", &bench::proxyRows}}) {
    if (only.empty() || only == name) {
      std::vector<bench::Row> some = part(config);
      rows.insert(rows.end(), some.begin(), some.end());
    }
  }
  printMachine();
  bench::printTable(rows);
  std::printf("\nwhole run: %.0f s\n", bench::secondsSince(start));
  return 0;
}
