#pragma once

// A generated history of Claude Code transcripts in its record shapes (those of tests/fixtures),
// for the benches. Written into a temporary folder at each run, never committed.

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace bench {

// Transcript lines in the shapes Claude Code writes, sizes drawn to look like real sessions:
// short prompts, answers split one content block a line with the usage repeated, tool results
// that dwarf everything else, and the bookkeeping records nobody reads.
class Writer {
 public:
  Writer(uint64_t seed, std::string sessionId, std::string cwd,
         int64_t startMillis = 1763632800000);
  std::string chunk();  // one prompt and the rounds that answer it
  int64_t lastMillis() const { return m_millis; }

 private:
  uint64_t pick(uint64_t n) { return n == 0 ? 0 : m_rng() % n; }
  std::string num(uint64_t n) { return std::to_string(pick(n)); }
  std::string words(size_t n);
  std::string stamp();
  std::string user(const std::string& content, const std::string& extra);

  std::mt19937_64 m_rng;
  int64_t m_millis;
  std::string m_head;
};

// Whole chunks until at least `bytes` are written; the count written.
uint64_t writeFile(const std::string& path, uint64_t bytes, Writer& w, bool append = false);

struct CorpusShape {
  uint64_t totalMiB = 1024;
  int sessions = 2000;
  uint64_t bigMiB = 100;
  int days = 30;
};

struct Corpus {
  std::string bigPath, bigSessionId;
  std::vector<std::string> paths, sessionIds;
  uint64_t bytes = 0;
};

// Under `claudeDir`/projects: the sessions over the last `days`, the first of them the big one
// (active until about `nowMillis`), every fifth other with a subagent transcript; each file's
// modification time is its last record's.
Corpus writeCorpus(const std::string& claudeDir, const CorpusShape& shape, int64_t nowMillis);

// The best wall time of `runs` calls of `f`, in ms.
double bestMs(const std::function<void()>& f, int runs = 1);

// ccusage, the usage report people run by hand, as a second limit: $CCUSAGE, else the first on
// PATH; empty when neither (the benches never install it).
std::string ccusagePath();

}  // namespace bench
