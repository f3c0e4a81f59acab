// How fast the transcript index reads Claude Code's folder, held against reading the same bytes
// with `cat` and parsing every line with simdjson and nothing else. Generates its own corpus.
// Usage: bench-transcripts [total MiB, default 1024] [files, default 2000] [big MiB, default 100]

#include "bench/corpus.h"
#include "claude_files/index.h"
#include "testkit/process.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <simdjson.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using testkit::Clock;
constexpr double MIB = 1048576.0;

// Every line through simdjson's DOM parser in place, read in the same 4 MiB pieces as the index,
// nothing kept: the floor for any index that parses the JSON.
void bareParse(const std::vector<std::string>& files) {
  constexpr size_t CHUNK = size_t{4} << 20;
  simdjson::dom::parser parser;
  std::vector<char> buf;
  for (const std::string& f : files) {
    std::ifstream in(f, std::ios::binary);
    for (size_t have = 0, more = 1; more != 0;) {
      buf.resize(std::max(buf.size(), have + CHUNK + simdjson::SIMDJSON_PADDING));
      in.read(buf.data() + have, static_cast<std::streamsize>(CHUNK));
      more = static_cast<size_t>(in.gcount());
      have += more;
      for (size_t at = 0;;) {
        auto* nl = static_cast<char*>(std::memchr(buf.data() + at, '\n', have - at));
        if (nl == nullptr && more != 0) {  // a partial line waits for the next piece
          std::memmove(buf.data(), buf.data() + at, have - at);
          have -= at;
          break;
        }
        size_t end = nl != nullptr ? static_cast<size_t>(nl - buf.data()) : have;
        simdjson::dom::element doc;
        if (end > at && parser.parse(buf.data() + at, end - at, false).get(doc)) {
          std::fprintf(stderr, "unparsable line in %s\n", f.c_str());
        }
        if ((at = end + 1) >= have) {
          have = 0;
          break;
        }
      }
    }
  }
}

void row(const char* what, uint64_t bytes, double ms, double catMs) {
  std::printf("| %-38s | %9.1f | %10.2f | %8.0f | %7s |\n", what, static_cast<double>(bytes) / MIB,
              ms, ms > 0 ? static_cast<double>(bytes) / MIB / (ms / 1000) : 0.0,
              catMs > 0 ? (std::to_string(ms / catMs).substr(0, 4) + "x").c_str() : "");
}

double rssMiB() {
  testkit::ProcessStats stats;
  return testkit::processStats(::getpid(), &stats) ? static_cast<double>(stats.residentBytes) / MIB
                                                   : -1;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t totalMiB = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  int files = argc > 2 ? std::atoi(argv[2]) : 2000;
  uint64_t bigMiB = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 100;
  testkit::TempDir tmp;
  if (!tmp.ok() || files < 2) {
    std::fprintf(stderr, "cannot make a temporary directory\n");
    return 1;
  }
  // The big session alone under `single`, and hard-linked into the corpus among the others.
  std::string corpus = tmp / "claude", single = tmp / "big";
  const std::string bigSid = "00000000-0000-4000-8000-000000000000";
  std::string bigPath = single + "/projects/-w-big/" + bigSid + ".jsonl";
  auto gen = Clock::now();
  fs::create_directories(single + "/projects/-w-big");
  fs::create_directories(corpus + "/projects/-w-big");
  bench::Writer bw(1, bigSid, "/w/big");
  bench::writeFile(bigPath, bigMiB << 20, bw);
  fs::create_hard_link(bigPath, corpus + "/projects/-w-big/" + bigSid + ".jsonl");
  std::vector<std::string> paths{bigPath};
  std::mt19937_64 rng(42);
  uint64_t rest =
      ((totalMiB - std::min(totalMiB, bigMiB)) << 20) / static_cast<uint64_t>(files - 1);
  for (int i = 1; i < files; ++i) {
    char sid[40];
    std::snprintf(sid, sizeof(sid), "%08x-0000-4000-8000-%012d", i, i);
    std::string project = "project" + std::to_string(i % 40);
    std::string folder = corpus + "/projects/-w-" + project;
    // Every fifth a subagent's transcript, with the meta file beside it.
    std::string dir = i % 5 == 0 ? folder + "/" + sid + "/subagents" : folder;
    std::string base = i % 5 == 0 ? dir + "/agent-a" + std::to_string(i) : dir + "/" + sid;
    fs::create_directories(dir);
    if (i % 5 == 0) {
      std::ofstream(base + ".meta.json") << R"({"agentType":"Explore"})";
    }
    // Sizes spread over two orders of magnitude, as real sessions are.
    double spread = std::exp(std::uniform_real_distribution<>(-2.3, 1.2)(rng)) / 1.1;
    bench::Writer w(static_cast<uint64_t>(i) + 7, sid, "/w/" + project);
    bench::writeFile(base + ".jsonl", static_cast<uint64_t>(static_cast<double>(rest) * spread), w);
    paths.push_back(base + ".jsonl");
  }
  uint64_t bigBytes = fs::file_size(bigPath), allBytes = 0;
  for (const std::string& p : paths) {
    allBytes += fs::file_size(p);
  }
  std::printf("corpus: %d files, %.0f MiB (one of %.0f MiB), generated in %.1f s\n", files,
              static_cast<double>(allBytes) / MIB, static_cast<double>(bigBytes) / MIB,
              testkit::secondsSince(gen));

  std::string catBig = "cat '" + bigPath + "' > /dev/null";
  std::string catAll = "find '" + corpus + "' -name '*.jsonl' -exec cat {} + > /dev/null";
  if (std::system(catAll.c_str()) != 0) {  // page cache warm for everyone alike
    return 1;
  }
  double catBigMs = bench::bestMs([&] { (void)std::system(catBig.c_str()); }, 3);
  double catAllMs = bench::bestMs([&] { (void)std::system(catAll.c_str()); }, 2);
  // The corpus index first, so that its resident size is not mixed with the other measurements'.
  double rssBefore = rssMiB();
  claude_files::Index all(corpus);
  double allColdMs = bench::bestMs([&] { all.refresh(); });
  double rssAfter = rssMiB();
  double allWarmMs = bench::bestMs([&] { all.refresh(); }, 5);
  // Processor time, which other programs on a busy machine do not inflate as they do wall time.
  auto cpuMs = [](claude_files::Index& index) {
    std::clock_t start = std::clock();
    for (int i = 0; i < 20; ++i) {
      index.refresh();
    }
    return static_cast<double>(std::clock() - start) * 1000.0 / CLOCKS_PER_SEC / 20;
  };
  double allWarmCpuMs = cpuMs(all);
  double parseAllMs = bench::bestMs([&] { bareParse(paths); });
  double parseBigMs = bench::bestMs([&] { bareParse({bigPath}); }, 3);

  std::printf("\n| %-38s | %9s | %10s | %8s | %7s |\n|---|---|---|---|---|\n", "what", "MiB", "ms",
              "MiB/s", "vs cat");
  row("cat, big session", bigBytes, catBigMs, catBigMs);
  row("bare simdjson parse, big session", bigBytes, parseBigMs, catBigMs);
  for (bool preFilter : {true, false}) {
    double ms = bench::bestMs(
        [&] {
          claude_files::Index(single, {preFilter, nullptr, true, 0}).refresh();
        },
        preFilter ? 3 : 2);
    row(preFilter ? "index cold, big session" : "index cold, big session, no pre-filter", bigBytes,
        ms, catBigMs);
  }
  claude_files::Index big(single);
  big.refresh();
  row("index warm, big session", 0, bench::bestMs([&] { big.refresh(); }, 5), 0);
  double bigWarmCpuMs = cpuMs(big);
  bench::Writer more(99, bigSid, "/w/big");
  bench::writeFile(bigPath, 1 << 20, more, true);
  double appendMs = bench::bestMs([&] { big.refresh(); });
  row("index after 1 MiB appended, big session", big.bytesReadLastRefresh(), appendMs, 0);
  row("cat, corpus", allBytes, catAllMs, catAllMs);
  row("bare simdjson parse, corpus", allBytes, parseAllMs, catAllMs);
  row("index cold, corpus", allBytes, allColdMs, catAllMs);
  row("index warm, corpus", 0, allWarmMs, 0);
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  std::printf("\nCPU time of a warm refresh (mean of 20): big session %.3f ms, corpus %.2f ms\n",
              bigWarmCpuMs, allWarmCpuMs);
  std::printf(
      "sessions indexed: %zu; RSS %.1f MiB before the corpus index, %.1f MiB with it "
      "(peak of the whole run %.1f MiB)\n",
      all.transcripts().size(), rssBefore, rssAfter,
      static_cast<double>(testkit::maxRssBytes(usage)) / MIB);
  return 0;
}
