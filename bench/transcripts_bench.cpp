// How fast the transcript index reads Claude Code's folder, held against reading the same bytes
// with `cat` and parsing every line with simdjson and nothing else. Generates its own corpus.
// Usage: bench-transcripts [total MiB, default 1024] [files, default 2000] [big MiB, default 100]

#include "claude_files/index.h"
#include "platform/platform.h"
#include "testkit/process.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <simdjson.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct TempDir {
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "cs-bench-XXXXXX").string();
    path = ::mkdtemp(pattern.data()) != nullptr ? pattern : "";
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  std::string path;
};

// Transcript lines in the shapes Claude Code writes, sizes drawn to look like real sessions:
// short prompts, answers split one content block a line with the usage repeated, tool results
// that dwarf everything else, and the bookkeeping records nobody reads.
class Writer {
 public:
  Writer(uint64_t seed, std::string sessionId, std::string cwd)
      : m_rng(seed), m_sid(std::move(sessionId)), m_cwd(std::move(cwd)) {}

  std::string chunk() {
    std::string out;
    out += user("\"" + words(10 + pick(200)) + "\"", "", false);
    for (int round = 0, rounds = 1 + static_cast<int>(pick(6)); round < rounds; ++round) {
      std::string id = "msg_01" + std::to_string(m_rng());
      std::string usage =
          R"({"input_tokens":)" + std::to_string(pick(50)) + R"(,"cache_creation_input_tokens":)" +
          std::to_string(pick(20000)) + R"(,"cache_read_input_tokens":)" +
          std::to_string(pick(150000)) +
          R"(,"cache_creation":{"ephemeral_5m_input_tokens":0,"ephemeral_1h_input_tokens":0},"output_tokens":)" +
          std::to_string(pick(2000)) + R"(,"service_tier":"standard"})";
      std::string model = pick(10) < 7 ? "claude-sonnet-4-5-20250929"
                          : pick(2)    ? "claude-opus-4-5-20251101"
                                       : "claude-haiku-4-5-20251001";
      out +=
          assistant(id, model, usage, R"({"type":"text","text":")" + words(20 + pick(150)) + "\"}");
      std::vector<std::string> uses;
      for (int t = 0, tools = static_cast<int>(pick(3)); t < tools; ++t) {
        std::string use = "toolu_01" + std::to_string(m_rng());
        static const char* NAMES[] = {"Read", "Edit", "Bash", "Grep", "Write"};
        std::string name = NAMES[pick(5)];
        std::string input = name == "Bash"   ? R"({"command":"npm test -- )" + words(3) + "\"}"
                            : name == "Grep" ? R"({"pattern":")" + words(1) + R"(","path":"src"})"
                                             : R"({"file_path":"src/)" + words(1) +
                                                   R"(.ts","old_string":")" + words(pick(60)) +
                                                   R"(","new_string":")" + words(pick(60)) + "\"}";
        out += assistant(id, model, usage,
                         R"({"type":"tool_use","id":")" + use + R"(","name":")" + name +
                             R"(","input":)" + input + "}");
        uses.push_back(use);
      }
      for (const std::string& use : uses) {
        size_t size = pick(100) < 3 ? 100000 + pick(300000) : 200 + pick(pick(2) ? 4000 : 30000);
        std::string body = words(size / 6);
        out += user(
            R"([{"tool_use_id":")" + use + R"(","type":"tool_result","content":")" + body + "\"}]",
            R"(,"toolUseResult":{"stdout":")" + body + R"(","stderr":"","interrupted":false})",
            false);
      }
      if (pick(4) == 0) {
        out +=
            R"({"type":"progress","data":{"type":"hook_progress","hookName":"PostToolUse"},"sessionId":")" +
            m_sid + R"(","timestamp":")" + stamp() + "\"}\n";
      }
    }
    if (pick(3) == 0) {
      out +=
          R"({"type":"file-history-snapshot","messageId":"m","snapshot":{"trackedFileBackups":{},"timestamp":")" +
          stamp() + R"("},"isSnapshotUpdate":false})" + "\n";
    }
    return out;
  }

 private:
  uint64_t pick(uint64_t n) { return n == 0 ? 0 : m_rng() % n; }

  std::string words(size_t n) {
    static const char* W[] = {"the",        "login",          "handler", "returns", "a",
                              "token",      "when",           "session", "is",      "valid",
                              "\\n",        "const",          "user",    "=",       "await",
                              "fetch(url)", "\\\"quoted\\\"", "error",   "retry",   "cache"};
    std::string s;
    for (size_t i = 0; i < n; ++i) {
      s += W[pick(20)];
      s += ' ';
    }
    return s;
  }

  std::string stamp() {
    m_millis += 500 + pick(20000);
    time_t secs = static_cast<time_t>(m_millis / 1000);
    char buf[32];
    std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%S", std::gmtime(&secs));
    char ms[8];
    std::snprintf(ms, sizeof(ms), ".%03dZ", static_cast<int>(m_millis % 1000));
    return std::string(buf) + ms;
  }

  std::string head() {
    return R"("isSidechain":false,"userType":"external","cwd":")" + m_cwd + R"(","sessionId":")" +
           m_sid + R"(","version":"2.0.50","gitBranch":"main")";
  }

  std::string user(const std::string& content, const std::string& extra, bool meta) {
    return R"({"parentUuid":"p",)" + head() +
           R"(,"type":"user","message":{"role":"user","content":)" + content + "}" +
           (meta ? R"(,"isMeta":true)" : "") + R"(,"uuid":"u","timestamp":")" + stamp() + "\"" +
           extra + "}\n";
  }

  std::string assistant(const std::string& id, const std::string& model, const std::string& usage,
                        const std::string& block) {
    return R"({"parentUuid":"p",)" + head() + R"(,"message":{"model":")" + model + R"(","id":")" +
           id + R"(","type":"message","role":"assistant","content":[)" + block +
           R"(],"stop_reason":null,"stop_sequence":null,"usage":)" + usage +
           R"(},"requestId":"req_)" + id + R"(","type":"assistant","uuid":"a","timestamp":")" +
           stamp() + "\"}\n";
  }

  std::mt19937_64 m_rng;
  std::string m_sid, m_cwd;
  int64_t m_millis = 1763632800000;
};

uint64_t writeFile(const std::string& path, uint64_t bytes, Writer& w) {
  std::ofstream out(path, std::ios::binary);
  uint64_t written = 0;
  while (written < bytes) {
    std::string c = w.chunk();
    out << c;
    written += c.size();
  }
  return written;
}

double timeIt(const std::function<void()>& f, int runs = 1) {
  double best = 1e18;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    f();
    best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return best;
}

// Processor time, which other programs on a busy machine do not inflate as they do wall time.
double cpuMs(const std::function<void()>& f) {
  std::clock_t start = std::clock();
  for (int i = 0; i < 20; ++i) {
    f();
  }
  return static_cast<double>(std::clock() - start) * 1000.0 / CLOCKS_PER_SEC / 20;
}

// Every line through simdjson's DOM parser in place, read in the same 4 MiB pieces as the index,
// nothing kept: the floor for any index that parses the JSON.
void bareParse(const std::vector<std::string>& files) {
  constexpr size_t CHUNK = size_t{4} << 20;
  simdjson::dom::parser parser;
  std::vector<char> buf(2 * CHUNK + simdjson::SIMDJSON_PADDING);
  for (const std::string& f : files) {
    std::ifstream in(f, std::ios::binary);
    size_t have = 0;
    for (;;) {
      if (have + CHUNK > 2 * CHUNK) {
        buf.resize(have + CHUNK + simdjson::SIMDJSON_PADDING);
      }
      in.read(buf.data() + have, static_cast<std::streamsize>(CHUNK));
      size_t got = static_cast<size_t>(in.gcount());
      have += got;
      size_t at = 0;
      for (;;) {
        auto* nl = static_cast<char*>(std::memchr(buf.data() + at, '\n', have - at));
        if (nl == nullptr && got != 0) {
          break;
        }
        size_t end = nl != nullptr ? static_cast<size_t>(nl - buf.data()) : have;
        simdjson::dom::element doc;
        if (end > at && parser.parse(buf.data() + at, end - at, false).get(doc)) {
          std::fprintf(stderr, "unparsable line in %s\n", f.c_str());
        }
        at = end + 1;
        if (at >= have) {
          break;
        }
      }
      at = std::min(at, have);
      std::memmove(buf.data(), buf.data() + at, have - at);
      have -= at;
      if (got == 0) {
        break;
      }
    }
  }
}

void row(const char* what, uint64_t bytes, double ms, double catMs) {
  std::printf("| %-38s | %9.1f | %10.2f | %8.0f | %7s |\n", what,
              static_cast<double>(bytes) / 1048576.0, ms,
              ms > 0 ? static_cast<double>(bytes) / 1048576.0 / (ms / 1000) : 0.0,
              catMs > 0 ? (std::to_string(ms / catMs).substr(0, 4) + "x").c_str() : "");
}

int64_t rssBytes() {
  testkit::ProcessStats stats;
  return testkit::processStats(::getpid(), &stats) ? stats.residentBytes : -1;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t totalMiB = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  int files = argc > 2 ? std::atoi(argv[2]) : 2000;
  uint64_t bigMiB = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 100;
  TempDir tmp;
  if (tmp.path.empty() || files < 2) {
    std::fprintf(stderr, "cannot make a temporary directory\n");
    return 1;
  }
  std::string corpus = tmp.path + "/claude", single = tmp.path + "/big";
  std::mt19937_64 rng(42);
  std::vector<std::string> paths;
  uint64_t total = 0;
  auto gen = Clock::now();
  fs::create_directories(single + "/projects/-w-big");
  std::string bigPath = single + "/projects/-w-big/00000000-0000-4000-8000-000000000000.jsonl";
  {
    Writer w(1, "00000000-0000-4000-8000-000000000000", "/w/big");
    total += writeFile(bigPath, bigMiB << 20, w);
  }
  fs::create_directories(corpus + "/projects/-w-big");
  fs::create_hard_link(bigPath,
                       corpus + "/projects/-w-big/00000000-0000-4000-8000-000000000000.jsonl");
  paths.push_back(bigPath);
  uint64_t rest =
      ((totalMiB - std::min(totalMiB, bigMiB)) << 20) / static_cast<uint64_t>(files - 1);
  for (int i = 1; i < files; ++i) {
    char sid[40];
    std::snprintf(sid, sizeof(sid), "%08x-0000-4000-8000-%012d", i, i);
    std::string folder = corpus + "/projects/-w-project" + std::to_string(i % 40);
    fs::create_directories(folder);
    // Sizes spread over two orders of magnitude, as real sessions are.
    uint64_t size =
        static_cast<uint64_t>(static_cast<double>(rest) *
                              std::exp(std::uniform_real_distribution<>(-2.3, 1.2)(rng)) / 1.1);
    Writer w(static_cast<uint64_t>(i) + 7, sid, "/w/project" + std::to_string(i % 40));
    bool sub = i % 5 == 0;
    std::string path =
        sub ? folder + "/" + sid + "/subagents/agent-a" + std::to_string(i) + ".jsonl"
            : folder + "/" + sid + ".jsonl";
    if (sub) {
      fs::create_directories(folder + "/" + sid + "/subagents");
      std::ofstream(folder + "/" + sid + "/subagents/agent-a" + std::to_string(i) + ".meta.json")
          << R"({"agentType":"Explore"})";
    }
    total += writeFile(path, size, w);
    paths.push_back(path);
  }
  std::printf("corpus: %d files, %.0f MiB (one of %.0f MiB), generated in %.1f s\n", files,
              static_cast<double>(total) / 1048576.0,
              static_cast<double>(fs::file_size(bigPath)) / 1048576.0,
              std::chrono::duration<double>(Clock::now() - gen).count());

  std::string catBig = "cat '" + bigPath + "' > /dev/null";
  std::string catAll = "find '" + corpus + "' -name '*.jsonl' -exec cat {} + > /dev/null";
  if (std::system(catAll.c_str()) != 0) {  // page cache warm for everyone alike
    return 1;
  }
  uint64_t bigBytes = fs::file_size(bigPath);
  double catBigMs = timeIt([&] { (void)std::system(catBig.c_str()); }, 3);
  double catAllMs = timeIt([&] { (void)std::system(catAll.c_str()); }, 2);
  // The corpus index first, so that its resident size is not mixed with the other measurements'.
  int64_t rssBefore = rssBytes();
  claude_files::Index all(corpus);
  double allColdMs = timeIt([&] { all.refresh(); });
  int64_t rssAfter = rssBytes();
  double allWarmMs = timeIt([&] { all.refresh(); }, 5);
  double allWarmCpuMs = cpuMs([&] { all.refresh(); });
  double parseAllMs = timeIt([&] { bareParse(paths); });
  double parseBigMs = timeIt([&] { bareParse({bigPath}); }, 3);

  std::printf("\n| %-38s | %9s | %10s | %8s | %7s |\n", "what", "MiB", "ms", "MiB/s", "vs cat");
  std::printf("|%s|%s|%s|%s|%s|\n", std::string(40, '-').c_str(), std::string(11, '-').c_str(),
              std::string(12, '-').c_str(), std::string(10, '-').c_str(),
              std::string(9, '-').c_str());
  row("cat, big session", bigBytes, catBigMs, catBigMs);
  row("bare simdjson parse, big session", bigBytes, parseBigMs, catBigMs);
  row("index cold, big session", bigBytes,
      timeIt(
          [&] {
            claude_files::Index idx(single);
            idx.refresh();
          },
          3),
      catBigMs);
  row("index cold, big session, no pre-filter", bigBytes,
      timeIt(
          [&] {
            claude_files::Index idx(single, false);
            idx.refresh();
          },
          2),
      catBigMs);
  claude_files::Index big(single);
  big.refresh();
  row("index warm, big session", 0, timeIt([&] { big.refresh(); }, 5), 0);
  double bigWarmCpuMs = cpuMs([&] { big.refresh(); });
  {
    Writer w(99, "00000000-0000-4000-8000-000000000000", "/w/big");
    std::string more;
    while (more.size() < (1u << 20)) {
      more += w.chunk();
    }
    std::ofstream(bigPath, std::ios::app | std::ios::binary) << more;
    double ms = timeIt([&] { big.refresh(); });
    row("index after 1 MiB appended, big session", big.bytesReadLastRefresh(), ms, 0);
  }
  uint64_t allBytes = 0;
  for (const std::string& p : paths) {
    allBytes += fs::file_size(p);
  }
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
      all.transcripts().size(), static_cast<double>(rssBefore) / 1048576.0,
      static_cast<double>(rssAfter) / 1048576.0,
      static_cast<double>(testkit::maxRssBytes(usage)) / 1048576.0);
  return 0;
}
