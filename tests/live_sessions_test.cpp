// The live session files Claude Code keeps under its folder, where that folder is, and the times
// its records carry.

#include "base/time_text.h"
#include "claude_files/index.h"
#include "claude_files/live.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "support/harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace claude_files;

TEST(IsoTime, ReadAndWritten) {
  const std::pair<const char*, int64_t> cases[] = {
      {"1970-01-01T00:00:00Z", 0},
      {"2025-11-20T10:00:05.250Z", 1763632805250},
      {"2025-11-20T11:00:05.250+01:00", 1763632805250},
      {"2000-02-29T00:00:00.5Z", 951782400500},
      {"2025-13-01T00:00:00Z", 0},
      {"yesterday", 0},
  };
  for (const auto& [text, want] : cases) {
    EXPECT_EQ(base::parseIsoMillis(text), want) << text;
  }
  EXPECT_EQ("2025-11-20T10:00:05Z", base::isoUtc(1763632805250));
}

// Live session files: only a pid that still runs the process that wrote the file counts.
TEST(ClaudeFilesLive, OnlyTheProcessThatWroteTheFileIsLive) {
  cstest::TempHome home;
  std::string sessions = home / "claude/sessions";
  ASSERT_TRUE(platform::makeDirs(sessions));
  platform::ProcessIdentity me;
  ASSERT_TRUE(platform::processIdentity(::getpid(), &me));
  std::string ticks = me.startTicks ? std::to_string(*me.startTicks) : "";
  std::string self = std::to_string(::getpid());
  pid_t dead = cstest::deadPid();

  const std::pair<std::string, std::string> cases[] = {
      // file, body
      {self + ".json",
       R"({"pid":)" + self +
           R"(,"sessionId":"s-string","cwd":"/w/a","startedAt":1700000000000,)"
           R"("procStart":")" +
           ticks +
           R"(","status":"waiting","waitingFor":"permission",)"
           R"("name":"alpha","messagingSocketPath":"/tmp/m.sock","updatedAt":1700000000500})"},
      {"1.json", R"({"pid":1,"sessionId":"s-reused","procStart":"1","startedAt":1})"},
      {std::to_string(dead) + ".json", R"({"sessionId":"s-dead"})"},
      {self + ".abc.key", R"({"sessionId":"s-key"})"},
      {"x" + self + ".json", R"({"sessionId":"s-name"})"},
      {"2.json", R"({"pid":)" + self + R"(,"sessionId":"s-other-pid"})"},
      {"3.json", "not json"},
  };
  for (const auto& [file, body] : cases) {
    std::ofstream(sessions + "/" + file) << body;
  }
  // A fifo under a session's name is never opened for a blocking read.
  ASSERT_EQ(::mkfifo((sessions + "/4.json").c_str(), 0600), 0);

  std::vector<LiveSession> live = readLiveSessions(home / "claude");
  EXPECT_EQ(live,
            (std::vector<LiveSession>{{::getpid(), "s-string", "/w/a", 1700000000000, "alpha",
                                       "waiting", "permission", 1700000000500, "/tmp/m.sock"}}));

  // procStart written as a number, and a wrong one (the pid since reused by another program).
  for (const auto& [procStart, want] :
       {std::pair<std::string, bool>{ticks, true}, {"1" + ticks + "0", false}}) {
    SCOPED_TRACE(procStart);
    std::ofstream(sessions + "/" + self + ".json")
        << R"({"sessionId":"s-number","procStart":)" + procStart + "}";
    Index idx(home / "claude");
    idx.refresh();
    EXPECT_EQ(idx.live().size(), want ? 1u : 0u);
  }
}

TEST(ClaudeFilesLive, ConfigDirFromTheEnvironment) {
  cstest::TempHome home;
  ::setenv("HOME", home.path().c_str(), 1);
  ::unsetenv("CLAUDE_CONFIG_DIR");
  EXPECT_EQ(claudeDir(), home / ".claude");
  ::setenv("CLAUDE_CONFIG_DIR", "/elsewhere/claude", 1);
  EXPECT_EQ(claudeDir(), "/elsewhere/claude");
  ::unsetenv("CLAUDE_CONFIG_DIR");
}

}  // namespace
