// What the companion costs a question on a long history, from its first question ever to a warm
// one, held against `cat` of the file asked about. Runs the real `channel-server app` in a
// temporary HOME over a generated corpus.
// Usage: bench-companion [total MiB, default 1024] [sessions] [big MiB]: by default 2000 sessions
// and 100 MiB for the full size, in proportion below it.

#include "base/json.h"
#include "bench/corpus.h"
#include "claude_files/index.h"
#include "platform/files.h"
#include "testkit/net.h"
#include "testkit/process.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using testkit::Clock;
using namespace std::chrono_literals;

struct Answer {
  double ms = -1;
  double cpuMs = -1;  // the companion's processor time meanwhile, which other programs on a busy
                      // machine do not inflate as they do wall time
  base::Json body;
};

double cpuMsOf(pid_t pid) {
  testkit::ProcessStats stats;
  return testkit::processStats(pid, &stats) ? static_cast<double>(stats.cpuNanos) / 1e6 : -1;
}

class Companion {
 public:
  explicit Companion(const std::string& home) : m_home(home) {
    m_child = testkit::Child::spawn({CS_BINARY_PATH, "app"}, testkit::baseEnv(home),
                                    testkit::SpawnOptions(testkit::Err::Discard));
    for (auto until = Clock::now() + 10s; Clock::now() < until; std::this_thread::sleep_for(5ms)) {
      if (testkit::connectUnix(socket())) {
        // Listening comes before the stores are open: a question then would time those too.
        std::this_thread::sleep_for(1s);
        return;
      }
    }
    std::fprintf(stderr, "the companion did not listen\n");
  }
  std::string socket() const { return m_home + "/.corvane/sessions.sock"; }
  pid_t pid() const { return m_child->pid(); }

  Answer ask(const base::Json& request) const {
    Answer a;
    double cpuBefore = cpuMsOf(pid());
    auto start = Clock::now();
    auto fd = testkit::connectUnix(socket());
    std::string text;
    if (fd && testkit::sendAll(fd.get(), request.dump() + "\n") &&
        testkit::recvAll(fd.get(), &text, Clock::now() + 30s)) {
      a.ms = testkit::secondsSince(start) * 1000;
      a.cpuMs = cpuMsOf(pid()) - cpuBefore;
      a.body = base::parseJson(text);
    }
    return a;
  }

  // Ends it; its peak resident size in MiB.
  double stop() {
    m_child->kill(SIGTERM);
    rusage usage{};
    m_child->wait(Clock::now() + 10s, &usage);
    return static_cast<double>(testkit::maxRssBytes(usage)) / 1048576.0;
  }

 private:
  std::string m_home;
  std::unique_ptr<testkit::Child> m_child;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? -1 : v[v.size() / 2];
}

// The cost answer's token sums, as text to compare.
std::string tokensOf(const Answer& a) {
  auto it = a.body.find("tokens");
  return it == a.body.end() ? "none" : it->dump();
}

// The same sums from an index of our own that reads the session from scratch.
std::string tokensReadNow(const std::string& claudeDir, const std::string& sid) {
  claude_files::Index idx(claudeDir);
  idx.refresh(claude_files::Need{false, -1, {sid}});
  auto s = idx.findTranscript(sid);
  uint64_t in = 0, out = 0, write = 0, read = 0;
  for (const auto& [key, u] : s ? s->usage : decltype(s->usage){}) {
    in += u.tokens.input;
    out += u.tokens.output;
    write += u.tokens.cacheWrite5m + u.tokens.cacheWrite1h;
    read += u.tokens.cacheRead;
  }
  return base::Json{{"input", in}, {"output", out}, {"cache_write", write}, {"cache_read", read}}
      .dump();
}

struct Report {
  double ms = -1;
  base::Json body;
};

// One ccusage run over the corpus, offline, its JSON kept.
Report ccusage(const std::string& bin, const std::string& home, const std::string& args) {
  std::string out = home + "/ccusage.json";
  std::string cmd = "env HOME='" + home + "' CLAUDE_CONFIG_DIR='" + home + "/.claude' '" + bin +
                    "' " + args + " --offline --json > '" + out + "' 2>/dev/null";
  Report r;
  auto start = Clock::now();
  if (std::system(cmd.c_str()) == 0) {
    r.ms = testkit::secondsSince(start) * 1000;
    // ccusage's report of every session runs to megabytes.
    r.body = base::parseJson(
        platform::readRegularFile(out, nullptr, nullptr, size_t{64} << 20).value_or(""));
  }
  fs::remove(out);
  return r;
}

// The token sums of `session --id`'s entries, in the shape of our `tokens`.
std::string tokensOfEntries(const base::Json& report) {
  uint64_t in = 0, out = 0, write = 0, read = 0;
  for (const base::Json& e : report.value("entries", base::Json::array())) {
    in += e.value("inputTokens", uint64_t{0});
    out += e.value("outputTokens", uint64_t{0});
    write += e.value("cacheCreationTokens", uint64_t{0});
    read += e.value("cacheReadTokens", uint64_t{0});
  }
  return base::Json{{"input", in}, {"output", out}, {"cache_write", write}, {"cache_read", read}}
      .dump();
}

std::string fixed(double v, int decimals = 1) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

void row(const char* what, double ms, double cpuMs, const std::string& limit,
         const std::string& other, const std::string& goal, const std::string& met) {
  std::printf("| %s | %.1f ms | %.1f ms | %s | %s | %s | %s |\n", what, ms, cpuMs, limit.c_str(),
              other.c_str(), goal.c_str(), met.c_str());
}

std::string yes(bool met) {
  return met ? "yes" : "**no**";
}

}  // namespace

int main(int argc, char** argv) {
  bench::CorpusShape shape;
  shape.totalMiB = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  // A smaller corpus keeps the full one's proportions unless told otherwise.
  int sessions = static_cast<int>(std::clamp<uint64_t>(shape.totalMiB * 2000 / 1024, 50, 2000));
  shape.sessions = argc > 2 ? std::max(2, std::atoi(argv[2])) : sessions;
  shape.bigMiB =
      argc > 3 ? std::strtoull(argv[3], nullptr, 10) : std::min<uint64_t>(100, shape.totalMiB / 10);
  testkit::TempDir home;
  if (!home.ok()) {
    return 1;
  }
  std::string claude = home / ".claude", store = home / ".corvane/transcripts.db";
  auto gen = Clock::now();
  int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
  bench::Corpus corpus = bench::writeCorpus(claude, shape, now);
  std::printf(
      "corpus: %zu transcripts of %d sessions over %d days, %.0f MiB (one of %.0f MiB), "
      "generated in %.1f s\n",
      corpus.paths.size(), shape.sessions, shape.days,
      static_cast<double>(corpus.bytes) / 1048576.0,
      static_cast<double>(fs::file_size(corpus.bigPath)) / 1048576.0, testkit::secondsSince(gen));
  std::string catAll = "find '" + claude + "' -name '*.jsonl' -exec cat {} + > /dev/null";
  std::string catBig = "cat '" + corpus.bigPath + "' > /dev/null";
  if (std::system(catAll.c_str()) != 0) {  // page cache warm for everyone alike
    return 1;
  }
  double catMs = bench::bestMs([&] { (void)std::system(catBig.c_str()); }, 3);
  double loadAtStart = 0;
  ::getloadavg(&loadAtStart, 1);
  const std::string& big = corpus.bigSessionId;
  base::Json cost = {{"op", "cost"}, {"name", big}}, list = {{"op", "list"}};
  auto forget = [&] {
    for (const char* tail : {"", "-wal", "-shm"}) {
      fs::remove(store + tail);
    }
  };

  forget();
  Companion first(home.path());
  Answer firstCost = first.ask(cost);
  first.stop();
  forget();
  Companion second(home.path());
  Answer firstList = second.ask(list);
  std::this_thread::sleep_for(2s);  // the store written behind
  second.stop();

  Companion third(home.path());
  Answer restartList = third.ask(list);
  Answer restartCost = third.ask(cost);
  std::vector<double> warmList, warmCost, warmListCpu, warmCostCpu;
  for (int i = 0; i < 10; ++i) {
    std::this_thread::sleep_for(250ms);  // past the snapshot's age, so each one refreshes
    Answer l = third.ask(list);
    std::this_thread::sleep_for(250ms);
    Answer c = third.ask(cost);
    warmList.push_back(l.ms);
    warmListCpu.push_back(l.cpuMs);
    warmCost.push_back(c.ms);
    warmCostCpu.push_back(c.cpuMs);
  }
  bench::Writer more(99, big, "/w/project0", now);
  bench::writeFile(corpus.bigPath, 1 << 20, more, true);
  std::this_thread::sleep_for(300ms);
  Answer appended = third.ask(cost);
  std::string tokensNow = tokensReadNow(claude, big);
  // Then every session asked about once: the whole corpus read and kept.
  auto all = Clock::now();
  for (const std::string& sid : corpus.sessionIds) {
    third.ask({{"op", "cost"}, {"name", sid}});
  }
  double allSec = testkit::secondsSince(all);
  testkit::ProcessStats stats;
  testkit::processStats(third.pid(), &stats);
  double rssAll = static_cast<double>(stats.residentBytes) / 1048576.0;
  double peakAll = third.stop();

  // ccusage has no index: each run is its first. Best of two, after ours, page cache warm.
  std::string bin = bench::ccusagePath();
  Report byId, everyone;
  if (!bin.empty()) {
    for (int i = 0; i < 2; ++i) {
      Report a = ccusage(bin, home.path(), "session --id " + big);
      Report b = ccusage(bin, home.path(), "session");
      byId = byId.ms < 0 || (a.ms >= 0 && a.ms < byId.ms) ? a : byId;
      everyone = everyone.ms < 0 || (b.ms >= 0 && b.ms < everyone.ms) ? b : everyone;
    }
  }
  auto versus = [&](const Report& r, double ours) {
    return r.ms < 0 ? std::string("–") : fixed(r.ms) + " ms (" + fixed(r.ms / ours) + "x ours)";
  };
  std::string limit = "cat " + fixed(catMs) + " ms (ratio " + fixed(firstCost.ms / catMs, 2) + ")";
  std::string noCc = bin.empty() ? " (no ccusage)" : "";
  std::printf(
      "\n| question | wall | companion CPU | limit | ccusage | goal | met (wall) |\n"
      "|---|---|---|---|---|---|---|\n");
  row("first question ever: cost of the big session", firstCost.ms, firstCost.cpuMs, limit,
      "`session --id`: " + versus(byId, firstCost.ms), "≤ 3x cat, ≥ 5x faster than ccusage",
      yes(firstCost.ms <= 3 * catMs) + " / " +
          (byId.ms < 0 ? "–" + noCc : yes(byId.ms >= 5 * firstCost.ms)));
  row("first question ever: `list`", firstList.ms, firstList.cpuMs, "–",
      "`session`: " + versus(everyone, firstList.ms), "≥ 3x faster than ccusage",
      everyone.ms < 0 ? "–" + noCc : yes(everyone.ms >= 3 * firstList.ms));
  row("after a restart: `list`", restartList.ms, restartList.cpuMs, "–", "–", "< 100 ms",
      yes(restartList.ms < 100));
  row("after a restart: `cost`", restartCost.ms, restartCost.cpuMs, "–", "–", "< 100 ms",
      yes(restartCost.ms < 100));
  row("warm `list` (median of 10)", median(warmList), median(warmListCpu), "–", "–", "< 10 ms",
      yes(median(warmList) < 10));
  row("warm `cost` (median of 10)", median(warmCost), median(warmCostCpu), "–", "–", "< 10 ms",
      yes(median(warmCost) < 10));
  row("`cost` 0.3 s after 1 MiB appended", appended.ms, appended.cpuMs, "–", "–", "< 50 ms",
      yes(appended.ms < 50));
  std::printf(
      "| RSS after every session was asked once (%.1f s) | %.1f MiB | – | – | – | < 64 MiB | %s "
      "|\n",
      allSec, rssAll, yes(rssAll < 64).c_str());
  std::printf("\ntoken sums of the big session: first %s, after a restart %s\n",
              tokensOf(firstCost) == tokensOf(restartCost) ? "= after a restart" : "DIFFER",
              tokensOf(restartCost).c_str());
  std::printf("after the append: %s; read from scratch: %s (%s)\n", tokensOf(appended).c_str(),
              tokensNow.c_str(), tokensOf(appended) == tokensNow ? "equal" : "DIFFER");
  std::printf("`list` answered %zu sessions, more %s\n",
              restartList.body.value("sessions", base::Json::array()).size(),
              restartList.body.value("more", base::Json()).dump().c_str());
  double loadAtEnd = 0;
  ::getloadavg(&loadAtEnd, 1);
  std::printf("load average %.1f at the start, %.1f at the end\n", loadAtStart, loadAtEnd);
  std::printf("every session asked once: %.1f s; then RSS %.1f MiB, peak %.1f MiB\n", allSec,
              rssAll, peakAll);
  if (byId.ms >= 0) {
    std::string theirs = tokensOfEntries(byId.body);
    std::printf("ccusage `session --id` token sums of the big session: %s (%s ours)\n",
                theirs.c_str(), theirs == tokensOf(appended) ? "equal to" : "DIFFER from");
  }
  return 0;
}
