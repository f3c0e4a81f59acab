#include "registry/registry.h"

#include "app/process.h"
#include "platform/files.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace registry {
namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("HOME", home.path().c_str(), 1);
    ::unsetenv("CV_INJECT_SOCK");
    ::unsetenv("CV_LAUNCHER_PID");
    app::instanceID = "INST";
    app::launchCwd = "/w/proj";
    app::projectName = "proj";
    app::channelPort = 4242;
    app::channelToken = "tok";
  }
  void put(const std::string& name, const std::string& text) {
    std::string err;
    ASSERT_TRUE(platform::createFile(registryDir() + "/" + name, text, 0600, &err)) << err;
  }
  cstest::TempHome home;
};

TEST_F(RegistryTest, RecordKeysFollowTheEnvironment) {
  const std::string base =
      R"({"instance":"INST","port":4242,"pid":9,"cwd":"/w/proj","name":"proj","version":"0.2.0","startedAt":1700000000)";
  struct Case {
    const char* inject;
    const char* launcher;
    bool token;
    std::string tail;
  } cases[] = {
      {nullptr, nullptr, true, R"(,"token":"tok"})"},
      {nullptr, nullptr, false, "}"},
      {"", "+12", true, R"(,"token":"tok","inject":"","launcherPid":12})"},
      {"/s.sock", "-7", true, R"(,"token":"tok","inject":"/s.sock","launcherPid":-7})"},
      {nullptr, " 12", true, R"(,"token":"tok","launcherPid":0})"},
      {nullptr, "1 2", true, R"(,"token":"tok","launcherPid":0})"},
      {nullptr, "abc", true, R"(,"token":"tok","launcherPid":0})"},
      {nullptr, "", true, R"(,"token":"tok","launcherPid":0})"},
      {nullptr, "9223372036854775808", true, R"(,"token":"tok","launcherPid":0})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tail);
    c.inject ? ::setenv("CV_INJECT_SOCK", c.inject, 1) : ::unsetenv("CV_INJECT_SOCK");
    c.launcher ? ::setenv("CV_LAUNCHER_PID", c.launcher, 1) : ::unsetenv("CV_LAUNCHER_PID");
    app::channelToken = c.token ? std::optional<std::string>("tok") : std::nullopt;
    EXPECT_EQ(base + c.tail, buildRecord(9, 1700000000).dump());
  }
}

TEST_F(RegistryTest, PublishReplacesAnyOlderFileWithAPrivateOne) {
  std::string path = registryPath();
  std::string err;
  ASSERT_TRUE(platform::createFile(path, "old", 0644, &err)) << err;
  publishRegistry();
  struct stat st {};
  ASSERT_EQ(0, ::stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  auto record = Json::parse(platform::readFile(path).value_or(""), nullptr, false);
  ASSERT_TRUE(record.is_object());
  EXPECT_EQ(::getpid(), record["pid"].get<int>());
  EXPECT_TRUE(record["startedAt"].is_number_integer());
  EXPECT_EQ(std::vector<std::string>{"INST.json"}, platform::listDir(registryDir()).value());
}

TEST_F(RegistryTest, PruneDeletesDeadRecordsAndTheirInjectSockets) {
  pid_t dead = ::fork();
  if (dead == 0) {
    ::_exit(0);
  }
  ASSERT_EQ(dead, ::waitpid(dead, nullptr, 0));
  std::string me = std::to_string(::getpid());
  std::string inject = home / "inject-dead.sock";
  put("live.json", R"({"id":"live","pid":)" + me + "}");
  put("float.json", R"({"id":"float","pid":)" + me + ".0}");
  put("dead.json",
      R"({"id":"dead","pid":)" + std::to_string(dead) + R"(,"inject":")" + inject + "\"}");
  put("wide.json", R"({"id":"wide","pid":)" + std::to_string((1LL << 32) + ::getpid()) + "}");
  put("string.json", R"({"id":"string","pid":")" + me + "\"}");
  put("nopid.json", R"({"id":"nopid"})");
  put("brace.json", "{");
  put("note.txt", "x");
  put("x.json.tmp", R"({"pid":)" + std::to_string(dead) + "}");
  std::string err;
  ASSERT_TRUE(platform::createFile(inject, "", 0600, &err));

  std::vector<std::string> live;
  for (const auto& record : liveRegistry()) {
    live.push_back(record.value("id", ""));
  }
  std::sort(live.begin(), live.end());
  EXPECT_EQ((std::vector<std::string>{"float", "live"}), live);
  EXPECT_EQ(9u, platform::listDir(registryDir())->size());

  pruneRegistry();
  auto left = platform::listDir(registryDir()).value();
  std::sort(left.begin(), left.end());
  EXPECT_EQ((std::vector<std::string>{"float.json", "live.json", "note.txt", "x.json.tmp"}), left);
  EXPECT_FALSE(platform::exists(inject));
}

}  // namespace
}  // namespace registry
