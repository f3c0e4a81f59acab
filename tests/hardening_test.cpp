#include "app/process.h"
#include "channel/token.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "registry/registry.h"
#include "state/records.h"
#include "state/state.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using registry::Json;

class Hardening : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("HOME", home.path().c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (home / "run").c_str(), 1);
    platform::makeDirs(home / "run");
  }
  cstest::TempHome home;
};

TEST_F(Hardening, PruneRemovesNothingButOurOwnDeadInjectSockets) {
  std::string state = state::dir(), sessions = registry::registryDir();
  std::string runtime = state::runtimeDir();
  std::ofstream(home / "victim") << "keep";
  std::ofstream(state + "/inject-file.sock") << "keep";
  // The socket files abandoned sockets leave.
  for (const std::string& sock : {home / "inject-out.sock", state + "/notes.sock",
                                  state + "/inject-ours.sock", runtime + "/inject-deep.sock"}) {
    ASSERT_TRUE(testkit::listenUnix(sock)) << sock;
  }
  fs::create_symlink(home / "inject-out.sock", state + "/inject-link.sock");
  const std::pair<std::string, bool> cases[] = {// inject path, removed
                                                {home / "victim", false},
                                                {state + "/../victim", false},
                                                {state + "/inject-file.sock", false},
                                                {home / "inject-out.sock", false},
                                                {state + "/notes.sock", false},
                                                {state + "/inject-link.sock", false},
                                                {sessions + "/../../inject-out.sock", false},
                                                {state + "/inject-ours.sock", true},
                                                {runtime + "/inject-deep.sock", true}};
  int n = 0;
  for (const auto& [inject, removed] : cases) {
    std::ofstream(sessions + "/r" + std::to_string(n++) + ".json")
        << Json{{"pid", 999999999}, {"startedAt", platform::nowSeconds()}, {"inject", inject}};
  }
  ASSERT_EQ(0, ::mkfifo((sessions + "/fifo.json").c_str(), 0600));  // once hung the launcher
  fs::create_symlink("/dev/zero", sessions + "/zero.json");         // once exhausted memory
  EXPECT_TRUE(registry::liveRegistry().empty());
  registry::pruneRegistry();
  for (const auto& [inject, removed] : cases) {
    EXPECT_EQ(removed, !platform::exists(inject)) << inject;
  }
  EXPECT_TRUE(platform::listDir(sessions)->empty());
}

TEST(RecordProcess, OnlyTheRunThatWroteTheRecord) {
  const long long at = 1700000000;
  struct Case {
    const char* what;
    std::optional<int64_t> startMillis;
    std::string exe;
    bool ours;
  } cases[] = {
      {"started before publishing", at * 1000 - 5000, "/opt/cs", true},
      {"coarse start time, same second", at * 1000 + 999, "/opt/cs", true},
      {"pid reused after the record", at * 1000 + 60000, "/opt/cs", false},
      {"pid reused by another program", at * 1000 - 5000, "/usr/bin/sleep", false},
      {"a zombie: no executable", at * 1000 - 5000, "", false},
      {"no start time", std::nullopt, "/opt/cs", false},
  };
  for (const auto& c : cases) {
    platform::ProcessIdentity id{std::nullopt, c.startMillis, c.exe, 0};
    EXPECT_EQ(c.ours, state::identityMatches(id, at * 1000, "/opt/cs")) << c.what;
  }
}

TEST_F(Hardening, InstanceThatCouldLeaveTheRegistryFolderIsReplaced) {
  const std::string cases[] = {
      "../../../x",         "a/b",   "a.json", "", "a b", "é", std::string(65, 'A'),
      std::string(64, 'A'), "ABC-12"};
  for (const std::string& given : cases) {
    SCOPED_TRACE(given);
    std::string id = app::chooseInstance(given);
    bool kept = given.size() == 64 || given == "ABC-12";
    EXPECT_EQ(kept, id == given);
    EXPECT_EQ(kept ? given.size() : 36u, id.size());
    EXPECT_EQ(registry::registryDir() + "/" + id + ".json", registry::registryPath(id));
  }
  EXPECT_EQ(36u, app::chooseInstance(std::nullopt).size());
}

TEST_F(Hardening, TokenFileGoesOnlyWhileItHoldsOurToken) {
  std::string path = channel::tokenPath();
  for (const auto& [held, removed] :
       {std::pair{"ours", true}, {"theirs", false}, {"ours\n", false}}) {
    SCOPED_TRACE(held);
    platform::removeFile(path);
    std::ofstream(path) << held;
    channel::removeTokenFileIfHolds(path, "ours");
    EXPECT_EQ(removed, !platform::exists(path));
  }
  platform::removeFile(path);
  std::ofstream(home / "elsewhere") << "ours";
  fs::create_symlink(home / "elsewhere", path);
  channel::removeTokenFileIfHolds(path, "ours");
  EXPECT_TRUE(platform::exists(path));
}

}  // namespace
