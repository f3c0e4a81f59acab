// Our files against planted entries, other users and long homes.

#include "state/state.h"

#include "claude_files/prices.h"
#include "claude_files/transcript.h"
#include "leases/lease_store.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "registry/registry.h"
#include "terminal/records.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace cstest;
using base::Json;

class State : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("HOME", home.path().c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (home / "run").c_str(), 1);
    fs::create_directory(home / "run");
  }
  TempHome home;
};

// Each reader of a file of ours gets a FIFO, /dev/zero, a link and an oversized file, and
// answers at once without following, blocking or filling memory.
TEST_F(State, PlantedFilesAreRefusedByEveryReader) {
  std::string dir = state::dir(), terms = terminal::terminalsDir(dir);
  std::ofstream(home / "target") << "{}";
  const struct {
    const char* what;
    std::function<void(const std::string&)> plant;
    bool logRotated;  // an oversized log starts over; nothing else of it is used
  } plants[] = {
      {"fifo", [](const std::string& p) { ::mkfifo(p.c_str(), 0600); }, false},
      {"zero", [](const std::string& p) { fs::create_symlink("/dev/zero", p); }, false},
      {"link", [&](const std::string& p) { fs::create_symlink(home / "target", p); }, false},
      {"huge",
       [](const std::string& p) { std::ofstream(p) << std::string(state::LOG_CAP + 1, '{'); },
       true},
  };
  for (const auto& c : plants) {
    SCOPED_TRACE(c.what);
    std::string prices = dir + "/prices.json", record = terms + "/T.json",
                log = dir + "/companion.log";
    for (const std::string& path : {prices, record, log}) {
      c.plant(path);
    }
    std::string warning;
    claude_files::loadPrices(prices, &warning);
    EXPECT_NE("", warning);
    EXPECT_TRUE(terminal::listTerminals(dir).empty());
    terminal::pruneTerminals(dir);
    EXPECT_FALSE(platform::exists(record));
    EXPECT_EQ(c.logRotated, static_cast<bool>(state::openLog()));
    EXPECT_EQ(c.logRotated, platform::exists(log + ".1"));
    EXPECT_EQ("{}", platform::readRegularFile(home / "target"));
    for (const std::string& path : {prices, log, log + ".1"}) {
      fs::remove(path);
    }
  }
}

TEST_F(State, OurFoldersAre0700WhoeverMakesThemFirst) {
  platform::UmaskScope usual(022);
  fs::create_directory(home / ".corvane");  // as an earlier version left it
  fs::permissions(home / ".corvane", fs::perms::owner_all | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read |
                                         fs::perms::others_exec);
  for (const std::string& dir :
       {registry::registryDir(), state::dir(), state::folder("notes"), state::folder("groups"),
        terminal::terminalsDir(state::dir()), state::runtimeDir()}) {
    EXPECT_EQ(S_IFDIR | 0700u, modeOf(dir)) << dir;
  }
}

// Whatever holds the runtime folder's name first, we get a private folder of our own, the same
// one in every process, and never the one planted.
TEST_F(State, NobodyTakesTheRuntimeFolderFromUs) {
  std::string name = home / "run/corvane";
  fs::create_directory(home / "elsewhere");
  const std::pair<const char*, std::function<void()>> plants[] = {
      {"a link", [&] { fs::create_symlink(home / "elsewhere", name); }},
      {"open to others",
       [&] { fs::create_directory(name), fs::permissions(name, fs::perms::all); }},
      {"another user's",
       [&] { fs::create_directory(name), (void)::chown(name.c_str(), 65534, 0); }},
      {"a file", [&] { std::ofstream(name) << "x"; }},
  };
  for (const auto& [what, plant] : plants) {
    SCOPED_TRACE(what);
    plant();
    std::string got = state::runtimeDir();
    EXPECT_TRUE(got.starts_with(name + "-")) << got;
    EXPECT_EQ(S_IFDIR | 0700u, modeOf(got));
    EXPECT_EQ(got, state::runtimeDir());
    ASSERT_TRUE(testkit::listenUnix(got + "/inject-x.sock"));
    EXPECT_TRUE(registry::isOurInjectSocket(got + "/inject-x.sock"));
    fs::remove_all(got);
    fs::remove(name);
  }
  EXPECT_TRUE(fs::is_empty(home / "elsewhere"));
}

// A 93-character home with the runtime folder's name taken: the tools still reach a companion.
TEST_F(State, LongHomeAndTakenRuntimeFolderStillReachTheCompanion) {
  std::string longHome = home / std::string(93 - home.path().size() - 1, 'h');
  fs::create_directories(longHome);
  fs::create_directory(home / "run/corvane");
  fs::permissions(home / "run/corvane", fs::perms::all);
  Env env = baseEnv(longHome);
  env["XDG_RUNTIME_DIR"] = home / "run";
  env["CV_TOOLS_ONLY"] = "1";
  auto server = Child::spawn({binaryPath()}, env);
  server->write(request(1, "tools/call", "{\"name\":\"list_sessions\"}"));
  auto line = server->readLine(10s);
  ASSERT_TRUE(line);
  EXPECT_EQ("{\"sessions\":[],\"more\":0}", Json::parse(*line)["result"]["content"][0]["text"]);
  server->closeInput();
  EXPECT_EQ(0, server->wait());
  ::setenv("HOME", longHome.c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", (home / "run").c_str(), 1);
  ::unlink(state::companionSocket().c_str());  // sends the companion away
}

// A lease store that will not open is set aside and made anew; the other ops never depend on it.
TEST_F(State, BrokenLeaseStoreIsSetAside) {
  const std::pair<const char*, std::function<void(const std::string&)>> plants[] = {
      {"not a database", [](const std::string& p) { std::ofstream(p) << std::string(8192, 'x'); }},
      {"a fifo", [](const std::string& p) { ::mkfifo(p.c_str(), 0600); }},
  };
  for (const auto& [what, plant] : plants) {
    SCOPED_TRACE(what);
    fs::remove_all(home / ".corvane");
    fs::create_directory(home / ".corvane");
    plant(home / ".corvane/companion.db");
    auto app = Child::spawn({binaryPath(), "app"}, baseEnv(home.path()));
    ASSERT_TRUE(app->waitErr("✓ companion a escutar")) << app->errSoFar();
    std::string sock = state::companionSocket();
    EXPECT_EQ("{\"leases\":[]}", askUnix(sock, "{\"op\":\"lease_status\",\"caller_pid\":1}\n", 5s));
    EXPECT_TRUE(app->waitErr("companion.db.broken-")) << app->errSoFar();
    app->kill(SIGTERM);
    EXPECT_EQ(0, app->wait());
  }
  leases::LeaseStore never;
  std::string err;
  EXPECT_FALSE(never.live(std::nullopt, 0, &err));
  EXPECT_NE("", err);
}

// A line longer than MAX_LINE is skipped, and partial lines of all files share one budget: the
// line that would pass it is skipped too, and the file reads on.
TEST(TranscriptMemory, LongLinesAreSkippedWithinOneBudget) {
  using namespace claude_files;
  auto prompt = [](size_t size) {
    return R"({"type":"user","message":{"role":"user","content":")" + std::string(size, 'x');
  };
  LineParser parser;
  std::vector<std::unique_ptr<TranscriptReader>> readers;
  for (size_t i = 0; i <= PARTIAL_BUDGET / MAX_LINE; ++i) {
    readers.push_back(std::make_unique<TranscriptReader>(true, "main"));
    readers.back()->feed(prompt(MAX_LINE - 100), 0, parser);
  }
  TranscriptReader tooLong(true, "main");
  for (size_t fed = 0; fed <= MAX_LINE; fed += 1 << 20) {
    tooLong.feed(std::string(1 << 20, 'x'), 0, parser);
  }
  readers.push_back(std::make_unique<TranscriptReader>(true, "main"));
  readers.back()->feed(prompt(10), 0, parser);  // fits what is left
  for (auto* r : {&tooLong}) {
    r->feed("\n" + prompt(3) + "\"}}\n", 0, parser);
  }
  std::vector<uint64_t> turns;
  for (auto& r : readers) {
    r->feed("\"}}\n", 0, parser);
    turns.push_back(r->aggregate().summary.turns);
  }
  std::vector<uint64_t> want(PARTIAL_BUDGET / MAX_LINE, 1);
  want.insert(want.end(), {0, 1});
  EXPECT_EQ(want, turns);
  EXPECT_EQ(std::string(3, 'x'), tooLong.aggregate().summary.latestPrompt);
  EXPECT_EQ(1u, tooLong.aggregate().summary.turns);
}

// Transcripts without line feeds: 20 sparse files of 60 MB and one of 10 GB neither hold memory
// nor hold up a request for long.
TEST_F(State, SparseTranscriptsNeitherFillMemoryNorStall) {
  std::string folder = home / "claude/projects/-w";
  fs::create_directories(folder);
  for (int i = 0; i < 21; ++i) {
    std::string path = folder + "/" + platform::randomUUID() + ".jsonl";
    ASSERT_EQ(0, ::truncate((std::ofstream(path), path).c_str(), i < 20 ? 60000000 : 10LL << 30));
  }
  Env env = baseEnv(home.path());
  env["CLAUDE_CONFIG_DIR"] = home / "claude";
  auto app = Child::spawn({binaryPath(), "app"}, env);
  ASSERT_TRUE(app->waitErr("✓ companion a escutar")) << app->errSoFar();
  std::string sock = home / ".corvane/sessions.sock";
  for (int i = 0; i < 3; ++i) {
    auto started = std::chrono::steady_clock::now();
    EXPECT_NE("", askUnix(sock, "{\"op\":\"lease_status\",\"caller_pid\":1}\n", 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s) << "request " << i;
    std::this_thread::sleep_for(250ms);
  }
  testkit::ProcessStats stats;
  ASSERT_TRUE(testkit::processStats(app->pid(), &stats));
  EXPECT_LT(stats.residentBytes, 64 << 20);
  app->kill(SIGTERM);
  EXPECT_EQ(0, app->wait());
}

}  // namespace
