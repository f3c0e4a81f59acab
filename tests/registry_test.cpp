#include "registry/registry.h"

#include "platform/files.h"
#include "platform/posix.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace registry {
namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("HOME", home.path().c_str(), 1); }
  void put(const std::string& name, const std::string& text) {
    std::string err;
    ASSERT_TRUE(platform::createFile(registryDir() + "/" + name, text, 0600, &err)) << err;
  }
  cstest::TempHome home;
  Identity id{"INST", "/w/proj", "proj", 0, std::nullopt, std::nullopt, std::nullopt};
};

TEST_F(RegistryTest, RecordKeysFollowTheEnvironment) {
  const std::string base =
      R"({"instance":"INST","port":4242,"pid":9,"cwd":"/w/proj","name":"proj","version":"0.2.0","startedAt":1700000000)";
  const std::tuple<const char*, const char*, bool, std::string> cases[] = {
      {nullptr, nullptr, true, R"(,"token":"tok"})"},
      {nullptr, nullptr, false, "}"},
      {"", "+12", true, R"(,"token":"tok","inject":"","launcherPid":12})"},
      {"/s.sock", "-7", true, R"(,"token":"tok","inject":"/s.sock","launcherPid":-7})"},
      // what parseDecimal refuses is none
      {nullptr, "abc", true, R"(,"token":"tok","launcherPid":0})"},
  };
  for (const auto& [inject, launcher, token, tail] : cases) {
    auto given = [](const char* v) { return v ? std::optional<std::string>(v) : std::nullopt; };
    id.injectSock = given(inject);
    id.launcherPid = given(launcher);
    id.channelToken = given(token ? "tok" : nullptr);
    EXPECT_EQ(base + tail, buildRecord(id, 4242, 9, 1700000000).dump()) << launcher;
  }
}

TEST_F(RegistryTest, PublishReplacesAnyOlderFileWithAPrivateOne) {
  std::string err;
  ASSERT_TRUE(platform::createFile(registryPath("INST"), "old", 0644, &err)) << err;
  publishRegistry(id, 4242);
  EXPECT_EQ(S_IFREG | 0600u, cstest::modeOf(registryPath("INST")));
  auto record = Json::parse(platform::readFile(registryPath("INST")).value_or("{}"));
  EXPECT_EQ(::getpid(), record.value("pid", 0));
  EXPECT_TRUE(record["startedAt"].is_number_integer());
  EXPECT_EQ(std::vector<std::string>{"INST.json"}, platform::listDir(registryDir()).value());
}

TEST_F(RegistryTest, PruneKeepsOnlyLiveRecordsAndOtherFiles) {
  pid_t dead = cstest::deadPid();
  std::string me = std::to_string(::getpid());
  std::string now = R"(,"startedAt":)" + std::to_string(platform::nowSeconds());
  put("live.json", R"({"id":"live","pid":)" + me + now + "}");
  put("float.json", R"({"id":"float","pid":)" + me + ".0" + now + "}");
  put("dead.json", R"({"id":"dead","pid":)" + std::to_string(dead) + now + "}");
  put("wide.json", R"({"id":"wide","pid":)" + std::to_string((1LL << 32) + ::getpid()) + now + "}");
  put("string.json", R"({"id":"string","pid":")" + me + "\"" + now + "}");
  put("nopid.json", R"({"id":"nopid")" + now + "}");
  put("nostart.json", R"({"id":"nostart","pid":)" + me + "}");
  put("brace.json", "{");
  put("note.txt", "x");
  put("x.json.tmp", R"({"pid":)" + std::to_string(dead) + "}");
  std::multiset<std::string> live;
  for (const auto& record : liveRegistry()) {
    live.insert(record.value("id", ""));
  }
  EXPECT_EQ((std::multiset<std::string>{"float", "live"}), live);
  EXPECT_EQ(10u, platform::listDir(registryDir())->size());
  pruneRegistry();
  auto left = platform::listDir(registryDir()).value();
  std::sort(left.begin(), left.end());
  EXPECT_EQ((std::vector<std::string>{"float.json", "live.json", "note.txt", "x.json.tmp"}), left);
}

}  // namespace
}  // namespace registry
