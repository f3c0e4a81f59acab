// The status line: one render against a warm companion, the render's memory, and the companion
// under 100 renders a second, and `ccusage statusline` fed the same JSON when it is found. The
// corpus is the issue's: eight running sessions (stand-in processes with claude's session files,
// an answer a minute over the last hours) among 2,000 over 30 days, about 1 GB in all.

#include "bench/bench.h"
#include "bench/corpus.h"

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace bench {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int RUNNING = 8, SESSIONS = 2000, DAYS = 30;
// With the running sessions and the subagents' files, about 1 GB.
constexpr uint64_t CORPUS_MIB = 830;
constexpr double MIB = 1024.0 * 1024.0;

std::string iso(int64_t unixSeconds) {
  std::time_t t = static_cast<std::time_t>(unixSeconds);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

// `answers` prompt/answer pairs ending at `last`, one a minute; a few KB each, as real ones.
void writeTranscript(const std::string& path, const std::string& id, int64_t last, int answers) {
  std::ofstream out(path);
  std::string filler(3000, 'x');
  for (int i = 0; i < answers; ++i) {
    std::string at = iso(last - (answers - i) * 60);
    out << R"({"type":"user","sessionId":")" << id << R"(","cwd":"/w/)" << id
        << R"(","timestamp":")" << at << R"(","message":{"role":"user","content":"do )" << filler
        << "\"}}\n";
    out << R"({"type":"assistant","sessionId":")" << id << R"(","timestamp":")" << at
        << R"(","requestId":"r)" << i << R"(","message":{"id":"m)" << i
        << R"(","model":"claude-sonnet-4-5-20250929","content":[{"type":"text","text":")" << filler
        << R"("}],"usage":{"input_tokens":10,"output_tokens":300,)"
        << R"("cache_read_input_tokens":40000,"cache_creation_input_tokens":2000}}})"
        << "\n";
  }
}

// claude's JSON as 2.1.x sends it, for one of the running sessions.
std::string statusInput(const std::string& id, const std::string& transcript) {
  return R"({"session_id":")" + id + R"(","transcript_path":")" + transcript + R"(","cwd":"/w/)" +
         id +
         R"(","model":{"id":"claude-sonnet-4-5","display_name":"Sonnet 4.5"},)"
         R"("workspace":{"current_dir":"/w","project_dir":"/w"},"version":"2.1.332",)"
         R"("output_style":{"name":"default"},"exceeds_200k_tokens":false,)"
         R"("cost":{"total_cost_usd":1.25,"total_duration_ms":90000,"total_api_duration_ms":30000,)"
         R"("total_lines_added":10,"total_lines_removed":2},)"
         R"("context_window":{"total_input_tokens":84000,"total_output_tokens":3000,)"
         R"("context_window_size":200000,"current_usage":{"input_tokens":10,"output_tokens":300,)"
         R"("cache_creation_input_tokens":2000,"cache_read_input_tokens":40000},)"
         R"("used_percentage":42,"remaining_percentage":58},)"
         R"("rate_limits":{"five_hour":{"used_percentage":31,"resets_at":"2026-12-08T10:00:00Z"}}})";
}

struct Rendered {
  double seconds = -1;
  uint64_t maxRss = 0;
};

// `argv` fed `input`, timed to its exit; failed unless its first line holds `expect`.
Rendered timed(const std::vector<std::string>& argv, const Env& env, const std::string& input,
               const std::string& expect, seconds bound = seconds(5)) {
  auto start = Clock::now();
  auto c = Child::spawn(argv, env, {Err::Discard});
  if (!c || !c->write(input)) {
    return {};
  }
  c->closeInput();
  auto line = c->readLine(start + bound);
  rusage usage{};
  auto status = c->wait(start + bound, &usage);
  bool ok = line && line->find(expect) != std::string::npos && status == 0;
  return {ok ? secondsSince(start) : -1, maxRssBytes(usage)};
}

Rendered render(const Config& config, const Env& env, const std::string& input) {
  return timed({config.binary, "statusline"}, env, input, "hoje");
}

}  // namespace

std::vector<Row> statuslineRows(const Config& config) {
  Row one{
      "status line: one render, companion warm (" + std::to_string(RUNNING) + " running sessions)",
      "spawn `cat`, feed it the same JSON, read it back", Unit::Seconds,
      "≤ 5 ms median, ≤ 20 ms p99"};
  Row rss{"status line: peak RSS of one render", "budget", Unit::Bytes, "≤ 8 MiB"};
  int load = config.loadSeconds;
  Row cpu{
      "status line: companion CPU per second at 100 renders/s for " + std::to_string(load) + " s",
      "budget (5 % of one core)", Unit::Seconds, "< 5 % of a core"};
  Row rate{"status line: renders a second achieved", "aim", Unit::PerSecond, "100/s"};
  Row mem{"status line: companion RSS growth over the load", "budget", Unit::Bytes, "none"};
  Row fds{"status line: companion descriptors, after the load minus before", "budget", Unit::Count,
          "0"};
  rss.limit = fixedBudget("budget", 8 * MIB);
  cpu.limit = fixedBudget("budget", 0.05);
  rate.limit = fixedBudget("aim", 100);
  mem.limit = fixedBudget("budget", 0);
  fds.limit = fixedBudget("budget", 0);
  Row versus{"status line: one render beside `ccusage statusline` fed the same JSON",
             "ccusage statusline", Unit::Seconds, "≥ 50× faster"};
  std::string ccusage = ccusagePath();
  std::vector<Row> none = {one, rss, cpu, rate, mem, fds};

  TempDir home;
  std::string claude = home / ".claude";
  std::string projects = claude + "/projects/-w";
  ::mkdir(claude.c_str(), 0700);
  ::mkdir((claude + "/projects").c_str(), 0700);
  ::mkdir(projects.c_str(), 0700);
  ::mkdir((claude + "/sessions").c_str(), 0700);
  Env env = benchEnv(home.path(), "", {{"COLUMNS", "120"}});
  int64_t now = static_cast<int64_t>(std::time(nullptr));
  std::vector<std::unique_ptr<Child>> sessions;
  for (int i = 0; i < RUNNING; ++i) {
    std::string id = "run-" + std::to_string(i);
    sessions.push_back(Child::spawn({"/bin/sleep", "600"}, env, {Err::Discard}));
    writeTranscript(projects + "/" + id + ".jsonl", id, now - i * 60, 500);
    std::ofstream(claude + "/sessions/" + std::to_string(sessions.back()->pid()) + ".json")
        << R"({"pid":)" << sessions.back()->pid() << R"(,"sessionId":")" << id << R"(","cwd":"/w/)"
        << id << R"(","startedAt":)" << (now - 4000) * 1000 << R"(,"status":")"
        << (i % 3 == 0 ? "waiting" : "busy") << R"("})";
  }
  // The rest of the 2,000 sessions and of the gigabyte (a fifth of it for a quick run).
  CorpusShape shape;
  shape.totalMiB = static_cast<uint64_t>(static_cast<double>(CORPUS_MIB) * config.scale);
  shape.sessions = SESSIONS - RUNNING;
  shape.bigMiB = shape.totalMiB / 10;
  shape.days = DAYS;
  // Written by a child: a render's ru_maxrss counts our own high-water mark (posix_spawn).
  auto written = Clock::now();
  pid_t writer = ::fork();
  if (writer == 0) {
    Corpus corpus = writeCorpus(claude, shape, now * 1000);
    std::fprintf(stderr, "statusline: corpus of %d sessions, %.0f MiB\n", SESSIONS,
                 static_cast<double>(corpus.bytes) / MIB);
    ::_exit(0);
  }
  int status = -1;
  if (writer < 0 || ::waitpid(writer, &status, 0) != writer || status != 0) {
    return none;
  }
  std::fprintf(stderr, "statusline: written in %.1f s\n", secondsSince(written));
  auto app = Child::spawn({config.binary, "app"}, env, {Err::Discard});
  std::string input = statusInput("run-0", projects + "/run-0.jsonl");
  // The first render reads the week's transcripts.
  auto deadline = Clock::now() + seconds(180);
  while (render(config, env, input).seconds < 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(50));
  }
  if (!app || Clock::now() >= deadline) {
    return none;
  }
  sampleBoth(
      one, scaled(config, 300),
      [&](size_t) {
        Rendered r = render(config, env, input);
        if (r.seconds >= 0) {
          rss.figure.samples.push_back(static_cast<double>(r.maxRss));
        }
        return r.seconds;
      },
      [&](size_t) {
        auto start = Clock::now();
        auto c = Child::spawn({"/bin/cat"}, env, {Err::Discard});
        bool ok = c && c->write(input + "\n");
        c->closeInput();
        return ok && c->readLine(start + seconds(5)) && c->wait(start + seconds(5)) == 0
                   ? secondsSince(start)
                   : -1;
      },
      10);

  // Ten sessions at refreshInterval 1 and then some: two threads, each paced at 50 a second.
  ProcessStats before{}, after{};
  std::atomic<size_t> done{0};
  auto loadOnce = [&](int seconds_) {
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        std::string id = "run-" + std::to_string(t);
        std::string in = statusInput(id, projects + "/" + id + ".jsonl");
        for (int k = 0; k < 50 * seconds_; ++k) {
          std::this_thread::sleep_until(start + milliseconds(20 * k + 10 * t));
          done += render(config, env, in).seconds >= 0 ? 1 : 0;
        }
      });
    }
    for (auto& t : threads) {
      t.join();
    }
    return secondsSince(start);
  };
  loadOnce(1);  // the companion's first-time allocations are not growth
  processStats(app->pid(), &before);
  done = 0;
  double wall = loadOnce(load);
  processStats(app->pid(), &after);
  if (before.cpuNanos >= 0 && after.cpuNanos >= 0 && wall > 0) {
    cpu.figure.samples.push_back(static_cast<double>(after.cpuNanos - before.cpuNanos) / 1e9 /
                                 wall);
    rate.figure.samples.push_back(static_cast<double>(done.load()) / wall);
    mem.figure.samples.push_back(static_cast<double>(after.residentBytes - before.residentBytes));
    fds.figure.samples.push_back(static_cast<double>(after.openFds - before.openFds));
  }
  std::vector<Row> rows = {one, rss, cpu, rate, mem, fds};
  if (ccusage.empty()) {
    std::fprintf(stderr, "statusline: ccusage not found ($CCUSAGE or PATH): its row is skipped\n");
    app->kill(SIGTERM);
    app->wait(seconds(5));
    return rows;
  }
  // Claude Code renders after each change of the transcript, which voids ccusage's own cache of
  // its output: uncached, offline prices, the same HOME.
  sampleBoth(
      versus, scaled(config, 5, 3), [&](size_t) { return render(config, env, input).seconds; },
      [&](size_t) {
        return timed({ccusage, "statusline", "--offline", "--no-cache"}, env, input, "",
                     seconds(120))
            .seconds;
      },
      1);
  rows.push_back(versus);
  app->kill(SIGTERM);
  app->wait(seconds(5));
  return rows;
}

}  // namespace bench
