// Our files against planted entries, other users and long homes.

#include "state/state.h"

#include "claude_files/prices.h"
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
using Plant = std::function<void(const std::string&)>;

class State : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("HOME", home.path().c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (home / "run").c_str(), 1);
    fs::create_directory(home / "run");
  }
  // One lease_status through a tools-only server (which starts the companion), within 5 s.
  void askLeases() {
    auto server = toolsOnly(env["HOME"], env);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ("{\"leases\":[]}", callTool(*server, 1, "{\"name\":\"lease_status\"}"));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    server->closeInput();
  }
  TempHome home;
  Env env = baseEnv(home.path());
};

const Plant FIFO = [](const std::string& p) { ::mkfifo(p.c_str(), 0600); };

// Each reader of a file of ours gets a FIFO, /dev/zero, a link and an oversized file, and answers
// at once without following, blocking or filling memory. An oversized log starts over instead.
// (platform::readRegularFile, which they share, is the one place that reads them.)
TEST_F(State, PlantedFilesAreRefusedByEveryReader) {
  std::string dir = state::dir(), record = terminal::terminalsDir(dir) + "/T.json";
  std::string prices = dir + "/prices.json", log = dir + "/companion.log";
  std::ofstream(home / "target") << "{}";
  const std::pair<Plant, bool> plants[] = {
      {FIFO, false},
      {[](const std::string& p) { fs::create_symlink("/dev/zero", p); }, false},
      {[&](const std::string& p) { fs::create_symlink(home / "target", p); }, false},
      {[](const std::string& p) { std::ofstream(p) << std::string(state::LOG_CAP + 1, '{'); },
       true}};
  for (const auto& [plant, big] : plants) {
    plant(prices), plant(record), plant(log);
    std::string warning;
    claude_files::loadPrices(prices, &warning);
    EXPECT_NE("", warning);
    EXPECT_TRUE(terminal::listTerminals(dir).empty());
    terminal::pruneTerminals(dir);
    EXPECT_FALSE(platform::exists(record));
    EXPECT_EQ(big, static_cast<bool>(state::openLog()));
    EXPECT_EQ(big, platform::exists(log + ".1"));
    EXPECT_EQ("{}", platform::readRegularFile(home / "target"));
    fs::remove(prices), fs::remove(log), fs::remove(log + ".1");
  }
}

// Whatever holds the runtime folder's name first, we get a private folder of our own, the same in
// every process; under a 93-character home the tools reach the companion through it, and every
// folder of ours is 0700 whoever made it first.
TEST_F(State, NobodyTakesTheRuntimeFolderFromUs) {
  std::string name = home / "run/corvane";
  const std::function<void()> plants[] = {
      [&] { fs::create_symlink(home / "target", name); },
      [&] { fs::create_directory(name), fs::permissions(name, fs::perms::all); },
      [&] { fs::create_directory(name), (void)::chown(name.c_str(), 65534, 0); },
      [&] { std::ofstream(name) << "x"; }};
  for (const auto& plant : plants) {
    fs::remove_all(home / ".corvane");
    plant();
    std::string got = state::runtimeDir();
    EXPECT_TRUE(got.starts_with(name + "-")) << got;
    EXPECT_EQ(got, state::runtimeDir());
    ASSERT_TRUE(testkit::listenUnix(got + "/inject-x.sock"));
    EXPECT_TRUE(registry::isOurInjectSocket(got + "/inject-x.sock"));
    fs::remove_all(got), fs::remove(name);
  }
  platform::UmaskScope usual(022);
  std::string deep = home / std::string(93 - home.path().size() - 1, 'h');
  fs::create_directories(deep + "/.corvane/sessions");  // as an earlier version left them
  fs::create_directory(name), fs::permissions(name, fs::perms::all);
  env["HOME"] = deep, env["XDG_RUNTIME_DIR"] = home / "run";
  askLeases();
  ::setenv("HOME", deep.c_str(), 1);
  for (const std::string& dir : {state::dir(), state::folder("sessions"), state::runtimeDir(),
                                 state::folder("notes"), terminal::terminalsDir(state::dir())}) {
    EXPECT_EQ(S_IFDIR | 0700u, modeOf(dir)) << dir;
  }
  ::unlink(state::companionSocket().c_str());  // sends the companion away
  // A process that outlives its home (a test's, removed) does not bring it back.
  ::setenv("HOME", (home / "gone").c_str(), 1);
  state::folder("sessions");
  EXPECT_FALSE(fs::exists(home / "gone"));
}

// Transcripts without line feeds, 20 sparse files of 60 MB and one of 10 GB, neither hold memory
// nor hold a request up for long. A lease store that will not open is set aside and made anew;
// should even that fail, only the lease ops answer an error.
TEST_F(State, SparseTranscriptsAndABrokenStoreHoldNobodyUp) {
  std::string folder = home / "claude/projects/-w/";
  fs::create_directories(folder);
  for (int i = 0; i < 21; ++i) {
    std::ofstream(folder + std::to_string(i) + ".jsonl");
    fs::resize_file(folder + std::to_string(i) + ".jsonl", i < 20 ? 60000000 : 10ULL << 30);
  }
  FIFO(state::file("companion.db"));
  env["CLAUDE_CONFIG_DIR"] = home / "claude";
  for (int i = 0; i < 3; ++i) {
    askLeases();
    std::this_thread::sleep_for(250ms);  // the next one refreshes
  }
  std::string log = platform::readFile(home / ".corvane/companion.log").value_or("(pid ");
  EXPECT_NE(std::string::npos, log.find("companion.db.broken-")) << log;
  testkit::ProcessStats stats;
  ASSERT_TRUE(testkit::processStats(std::atoi(log.substr(log.find("(pid ") + 5).c_str()), &stats));
  EXPECT_LT(stats.residentBytes, (SANITIZED ? 512 : 64) << 20);  // the sanitizers' own memory
  ::unlink(state::companionSocket().c_str());                    // sends the companion away
  leases::LeaseStore never;
  std::string err;
  EXPECT_TRUE(!never.live(std::nullopt, 0, &err) && !err.empty());
}

}  // namespace
