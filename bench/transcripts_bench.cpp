// How fast the transcript index reads Claude Code's folder, held against reading the same bytes
// with `cat` and parsing every line with simdjson and nothing else. Generates its own corpus.
// Usage: bench-transcripts [total MiB, default 1024] [files, default 2000] [big MiB, default 100]

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

// Transcript lines in the shapes Claude Code writes, sizes drawn to look like real sessions:
// short prompts, answers split one content block a line with the usage repeated, tool results
// that dwarf everything else, and the bookkeeping records nobody reads.
class Writer {
 public:
  Writer(uint64_t seed, std::string sessionId, std::string cwd)
      : m_rng(seed),
        m_head(R"("isSidechain":false,"userType":"external","cwd":")" + cwd + R"(","sessionId":")" +
               sessionId + R"(","version":"2.0.50","gitBranch":"main")") {}

  std::string chunk() {
    std::string out = user("\"" + words(10 + pick(200)) + "\"", "");
    for (int round = 0, rounds = 1 + static_cast<int>(pick(6)); round < rounds; ++round) {
      std::string id = "msg_01" + std::to_string(m_rng());
      std::string usage = R"({"input_tokens":)" + num(50) + R"(,"cache_creation_input_tokens":)" +
                          num(20000) + R"(,"cache_read_input_tokens":)" + num(150000) +
                          R"(,"cache_creation":{"ephemeral_5m_input_tokens":0,)"
                          R"("ephemeral_1h_input_tokens":0},"output_tokens":)" +
                          num(2000) + R"(,"service_tier":"standard"})";
      static const char* MODELS[] = {"claude-sonnet-4-5-20250929", "claude-opus-4-5-20251101",
                                     "claude-haiku-4-5-20251001"};
      std::string model = MODELS[pick(10) < 7 ? 0 : 1 + pick(2)];
      auto assistant = [&](const std::string& block) {
        return R"({"parentUuid":"p",)" + m_head + R"(,"message":{"model":")" + model +
               R"(","id":")" + id + R"(","type":"message","role":"assistant","content":[)" + block +
               R"(],"stop_reason":null,"stop_sequence":null,"usage":)" + usage +
               R"(},"requestId":"req_)" + id + R"(","type":"assistant","uuid":"a","timestamp":")" +
               stamp() + "\"}\n";
      };
      out += assistant(R"({"type":"text","text":")" + words(20 + pick(150)) + "\"}");
      for (int t = 0, tools = static_cast<int>(pick(3)); t < tools; ++t) {
        std::string use = "toolu_01" + std::to_string(m_rng());
        static const char* NAMES[] = {"Read", "Edit", "Bash", "Grep", "Write"};
        std::string name = NAMES[pick(5)];
        std::string input = name == "Bash"   ? R"({"command":"npm test -- )" + words(3) + "\"}"
                            : name == "Grep" ? R"({"pattern":")" + words(1) + R"(","path":"src"})"
                                             : R"({"file_path":"src/)" + words(1) +
                                                   R"(.ts","old_string":")" + words(pick(60)) +
                                                   R"(","new_string":")" + words(pick(60)) + "\"}";
        out += assistant(R"({"type":"tool_use","id":")" + use + R"(","name":")" + name +
                         R"(","input":)" + input + "}");
        size_t size = pick(100) < 3 ? 100000 + pick(300000) : 200 + pick(pick(2) ? 4000 : 30000);
        std::string body = words(size / 6);
        out += user(
            R"([{"tool_use_id":")" + use + R"(","type":"tool_result","content":")" + body + "\"}]",
            R"(,"toolUseResult":{"stdout":")" + body + R"(","stderr":"","interrupted":false})");
      }
      if (pick(4) == 0) {
        out += R"({"type":"progress","data":{"type":"hook_progress","hookName":"PostToolUse"},)" +
               m_head + R"(,"timestamp":")" + stamp() + "\"}\n";
      }
    }
    if (pick(3) == 0) {
      out += R"({"type":"file-history-snapshot","messageId":"m","snapshot":)"
             R"({"trackedFileBackups":{},"timestamp":")" +
             stamp() + R"("},"isSnapshotUpdate":false})" + "\n";
    }
    return out;
  }

 private:
  uint64_t pick(uint64_t n) { return n == 0 ? 0 : m_rng() % n; }
  std::string num(uint64_t n) { return std::to_string(pick(n)); }

  std::string words(size_t n) {
    static const char* W[] = {"the",        "login",          "handler", "returns", "a",
                              "token",      "when",           "session", "is",      "valid",
                              "\\n",        "const",          "user",    "=",       "await",
                              "fetch(url)", "\\\"quoted\\\"", "error",   "retry",   "cache"};
    std::string s;
    for (size_t i = 0; i < n; ++i) {
      s.append(W[pick(20)]).push_back(' ');
    }
    return s;
  }

  std::string stamp() {
    m_millis += 500 + pick(20000);
    time_t secs = static_cast<time_t>(m_millis / 1000);
    char buf[40];
    size_t n = std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%S", std::gmtime(&secs));
    std::snprintf(buf + n, sizeof(buf) - n, ".%03dZ", static_cast<int>(m_millis % 1000));
    return buf;
  }

  std::string user(const std::string& content, const std::string& extra) {
    return R"({"parentUuid":"p",)" + m_head +
           R"(,"type":"user","message":{"role":"user","content":)" + content +
           R"(},"uuid":"u","timestamp":")" + stamp() + "\"" + extra + "}\n";
  }

  std::mt19937_64 m_rng;
  std::string m_head;
  int64_t m_millis = 1763632800000;
};

void writeFile(const std::string& path, uint64_t bytes, Writer w, bool append = false) {
  std::ofstream out(path, append ? std::ios::binary | std::ios::app : std::ios::binary);
  for (uint64_t written = 0; written < bytes;) {
    std::string c = w.chunk();
    out << c;
    written += c.size();
  }
}

// The best wall time of `runs` calls, in ms.
double timeIt(const std::function<void()>& f, int runs = 1) {
  double best = 1e18;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    f();
    best = std::min(best, testkit::secondsSince(start) * 1000);
  }
  return best;
}

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
  writeFile(bigPath, bigMiB << 20, Writer(1, bigSid, "/w/big"));
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
    writeFile(base + ".jsonl", static_cast<uint64_t>(static_cast<double>(rest) * spread),
              Writer(static_cast<uint64_t>(i) + 7, sid, "/w/" + project));
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
  double catBigMs = timeIt([&] { (void)std::system(catBig.c_str()); }, 3);
  double catAllMs = timeIt([&] { (void)std::system(catAll.c_str()); }, 2);
  // The corpus index first, so that its resident size is not mixed with the other measurements'.
  double rssBefore = rssMiB();
  claude_files::Index all(corpus);
  double allColdMs = timeIt([&] { all.refresh(); });
  double rssAfter = rssMiB();
  double allWarmMs = timeIt([&] { all.refresh(); }, 5);
  // Processor time, which other programs on a busy machine do not inflate as they do wall time.
  auto cpuMs = [](claude_files::Index& index) {
    std::clock_t start = std::clock();
    for (int i = 0; i < 20; ++i) {
      index.refresh();
    }
    return static_cast<double>(std::clock() - start) * 1000.0 / CLOCKS_PER_SEC / 20;
  };
  double allWarmCpuMs = cpuMs(all);
  double parseAllMs = timeIt([&] { bareParse(paths); });
  double parseBigMs = timeIt([&] { bareParse({bigPath}); }, 3);

  std::printf("\n| %-38s | %9s | %10s | %8s | %7s |\n|---|---|---|---|---|\n", "what", "MiB", "ms",
              "MiB/s", "vs cat");
  row("cat, big session", bigBytes, catBigMs, catBigMs);
  row("bare simdjson parse, big session", bigBytes, parseBigMs, catBigMs);
  for (bool preFilter : {true, false}) {
    double ms =
        timeIt([&] { claude_files::Index(single, {preFilter, nullptr, true, 0}).refresh(); }, preFilter ? 3 : 2);
    row(preFilter ? "index cold, big session" : "index cold, big session, no pre-filter", bigBytes,
        ms, catBigMs);
  }
  claude_files::Index big(single);
  big.refresh();
  row("index warm, big session", 0, timeIt([&] { big.refresh(); }, 5), 0);
  double bigWarmCpuMs = cpuMs(big);
  writeFile(bigPath, 1 << 20, Writer(99, bigSid, "/w/big"), true);
  double appendMs = timeIt([&] { big.refresh(); });
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
