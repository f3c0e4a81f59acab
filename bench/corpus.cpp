#include "bench/corpus.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace bench {

namespace fs = std::filesystem;

Writer::Writer(uint64_t seed, std::string sessionId, std::string cwd, int64_t startMillis)
    : m_rng(seed),
      m_millis(startMillis),
      m_head(R"("isSidechain":false,"userType":"external","cwd":")" + cwd + R"(","sessionId":")" +
             sessionId + R"(","version":"2.0.50","gitBranch":"main")") {}

std::string Writer::chunk() {
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
      return R"({"parentUuid":"p",)" + m_head + R"(,"message":{"model":")" + model + R"(","id":")" +
             id + R"(","type":"message","role":"assistant","content":[)" + block +
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

std::string Writer::words(size_t n) {
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
std::string Writer::stamp() {
  m_millis += 500 + pick(20000);
  time_t secs = static_cast<time_t>(m_millis / 1000);
  char buf[40];
  size_t n = std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%S", std::gmtime(&secs));
  std::snprintf(buf + n, sizeof(buf) - n, ".%03dZ", static_cast<int>(m_millis % 1000));
  return buf;
}
std::string Writer::user(const std::string& content, const std::string& extra) {
  return R"({"parentUuid":"p",)" + m_head +
         R"(,"type":"user","message":{"role":"user","content":)" + content +
         R"(},"uuid":"u","timestamp":")" + stamp() + "\"" + extra + "}\n";
}

uint64_t writeFile(const std::string& path, uint64_t bytes, Writer& w, bool append) {
  std::ofstream out(path, append ? std::ios::binary | std::ios::app : std::ios::binary);
  uint64_t written = 0;
  while (written < bytes) {
    std::string c = w.chunk();
    out << c;
    written += c.size();
  }
  return written;
}

Corpus writeCorpus(const std::string& claudeDir, const CorpusShape& shape, int64_t nowMillis) {
  Corpus c;
  std::mt19937_64 rng(42);
  auto mtime = [](const std::string& path, int64_t millis) {
    timespec times[2] = {{millis / 1000, (millis % 1000) * 1000000}, {}};
    times[1] = times[0];
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
  };
  uint64_t restBytes = (shape.totalMiB - std::min(shape.totalMiB, shape.bigMiB)) << 20;
  // Every fifth session has a subagent transcript too, a third of its size.
  uint64_t perSession = restBytes / static_cast<uint64_t>(std::max(1, shape.sessions - 1));
  for (int i = 0; i < shape.sessions; ++i) {
    char sid[40];
    std::snprintf(sid, sizeof(sid), "%08x-0000-4000-8000-%012d", i, i);
    std::string project = "project" + std::to_string(i % 40);
    std::string folder = claudeDir + "/projects/-w-" + project;
    fs::create_directories(folder);
    bool big = i == 0;
    // The big one runs over the last days; the others spread over the whole span.
    int64_t start = big ? nowMillis - 4LL * 86400000
                        : nowMillis -
                              static_cast<int64_t>(shape.days) * 86400000 * i / shape.sessions -
                              3 * 3600 * 1000;
    double spread = std::exp(std::uniform_real_distribution<>(-2.3, 1.2)(rng)) / 1.1;
    uint64_t size =
        big ? shape.bigMiB << 20 : static_cast<uint64_t>(static_cast<double>(perSession) * spread);
    std::string path = folder + "/" + sid + ".jsonl";
    Writer w(static_cast<uint64_t>(i) + 7, sid, "/w/" + project, start);
    bool withAgent = !big && i % 5 == 0;
    c.bytes += writeFile(path, withAgent ? size * 2 / 3 : size, w);
    int64_t last = std::min(w.lastMillis(), nowMillis);
    mtime(path, last);
    c.paths.push_back(path);
    c.sessionIds.push_back(sid);
    if (withAgent) {
      std::string agents = folder + "/" + sid + "/subagents";
      fs::create_directories(agents);
      std::ofstream(agents + "/agent-a" + std::to_string(i) + ".meta.json")
          << R"({"agentType":"Explore"})";
      std::string agentPath = agents + "/agent-a" + std::to_string(i) + ".jsonl";
      Writer a(static_cast<uint64_t>(i) + 100007, sid, "/w/" + project, start);
      c.bytes += writeFile(agentPath, size / 3, a);
      mtime(agentPath, std::min(a.lastMillis(), nowMillis));
      c.paths.push_back(agentPath);
    }
    if (big) {
      c.bigPath = path;
      c.bigSessionId = sid;
    }
  }
  return c;
}

double bestMs(const std::function<void()>& f, int runs) {
  double best = 1e18;
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    f();
    best = std::min(
        best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                  .count());
  }
  return best;
}

std::string ccusagePath() {
  const char* set = std::getenv("CCUSAGE");
  if (set != nullptr && *set != '\0') {
    return ::access(set, X_OK) == 0 ? set : "";
  }
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "";
  for (size_t at = 0; at <= dirs.size();) {
    size_t end = std::min(dirs.find(':', at), dirs.size());
    std::string candidate = dirs.substr(at, end - at) + "/ccusage";
    if (end > at && ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    at = end + 1;
  }
  return "";
}

}  // namespace bench
