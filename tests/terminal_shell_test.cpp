#include "platform/files.h"
#include "platform/posix.h"
#include "terminal/ops.h"
#include "terminal/records.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace {

using base::Json;
using namespace std::chrono_literals;

// `channel-server shell` on a terminal the test owns, as the user's would be.
class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!platform::exists("/dev/ptmx")) {
      GTEST_SKIP() << "no pty";
    }
    platform::makeDirs(home / "proj");
    ctx.stateDir = home / ".corvane";
    ctx.you =
        ops::SessionRef{"me", "id", platform::resolvePath(home / "proj"), "proj", "", 1, true, ""};
  }
  // One more shell in proj, on a terminal of its own.
  void start() {
    cstest::Env env{{"SHELL", "/bin/sh"}, {"PS1", "$ "}, {"TERM", "xterm"}};
    env.merge(cstest::baseEnv(home.path()));
    size_t before = records().size();
    sh = shells
             .emplace_back(std::make_unique<cstest::Pty>(
                 std::vector<std::string>{"/bin/sh", "-c", "cd \"$0\" && exec \"$1\" shell",
                                          ctx.you->cwd, cstest::binaryPath()},
                 env))
             .get();
    ASSERT_TRUE(sh->until([&] { return records().size() == before + 1; }));
    ASSERT_TRUE(sh->until([&] { return screenHas("$", records().back().name); }));
  }
  std::vector<terminal::Record> records() { return terminal::listTerminals(ctx.stateDir); }
  bool screenHas(const std::string& text, const std::string& name = "proj") {
    Json got = terminal::terminalRead({{"terminal", name}}, ctx);
    return got.value("lines", Json()).dump().find(text) != std::string::npos;
  }
  void type(std::string_view bytes) { ASSERT_TRUE(sh->type(bytes)); }

  cstest::TempHome home;
  ops::Context ctx;
  std::vector<std::unique_ptr<cstest::Pty>> shells;
  cstest::Pty* sh = nullptr;  // the newest
};

TEST_F(ShellTest, TypedLineWaitsAtThePromptUntilTheUserRunsIt) {
  start();
  terminal::Record r = records().at(0);
  EXPECT_EQ(S_IFSOCK | 0600u, cstest::modeOf(r.controlSocket));
  type("ls /no-such-dir\r");
  // Typed before the next prompt, the line would show ahead of it.
  EXPECT_TRUE(sh->until([&] { return screenHas("No such file or directory\",\"$\"]"); }));

  Json typed = terminal::terminalWrite({{"terminal", "proj"}, {"text", "touch ran"}}, ctx);
  EXPECT_EQ(9, typed.value("typed_chars", 0)) << typed;
  EXPECT_TRUE(sh->until([&] { return screenHas("$ touch ran\"]"); }));
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(platform::exists(ctx.you->cwd + "/ran"));
  type("\r");  // the user presses Enter: it was at the prompt
  EXPECT_TRUE(sh->until([&] { return platform::exists(ctx.you->cwd + "/ran"); }));

  type("exit 3\r");
  ASSERT_TRUE(sh->read(""));  // until it has ended
  EXPECT_EQ(3, sh->status);
  EXPECT_TRUE(records().empty());
  EXPECT_FALSE(platform::exists(r.controlSocket));
}

TEST_F(ShellTest, SignalsEndItAndLeaveNothingBehind) {
  for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
    SCOPED_TRACE(sig);
    start();
    std::string sock = records().at(0).controlSocket;
    ::kill(sh->pty.pid, sig);
    ASSERT_TRUE(sh->read(""));
    EXPECT_TRUE(WIFSIGNALED(sh->waitStatus) && WTERMSIG(sh->waitStatus) == sig);
    EXPECT_TRUE(records().empty());
    EXPECT_FALSE(platform::exists(sock));
  }
}

// The issue's case: a program reading the terminal would take the text as its answer.
TEST_F(ShellTest, AProgramInTheForegroundIsNeverTypedInto) {
  start();
  type("sh -c 'printf \"Delete important.txt? \"; read x; echo \"got[$x]\"'\r");
  ASSERT_TRUE(sh->until([&] { return screenHas("Delete important.txt?\"]"); }));
  EXPECT_EQ(
      R"({"error":"the terminal is running sh, not waiting at the shell's prompt; nothing was typed","foreground":"sh"})",
      terminal::terminalWrite({{"terminal", "proj"}, {"text", "yes I will review this"}}, ctx)
          .dump());
  type("n\r");
  EXPECT_TRUE(sh->until([&] { return screenHas("got[n]\",\"$\"]"); }));
  // Back at its prompt, the shell takes text again.
  EXPECT_EQ(4, terminal::terminalWrite({{"terminal", "proj"}, {"text", "true"}}, ctx)
                   .value("typed_chars", 0));
}

// Stopped shells answer nobody; the companion still answers everyone else at once.
TEST_F(ShellTest, StoppedShellsCostOnlyTheirOwnAnswers) {
  for (int i = 0; i < 3; ++i) {
    start();
  }
  std::string self = std::to_string(::getpid());
  ASSERT_TRUE(platform::makeDirs(home / ".claude/sessions"));
  ASSERT_TRUE(platform::createFile(
      home / (".claude/sessions/" + self + ".json"),
      Json{{"pid", ::getpid()}, {"sessionId", "s1"}, {"cwd", ctx.you->cwd}}.dump(), 0600, nullptr));
  auto app = cstest::startCompanion(home.path());
  std::string sock = home / ".corvane/sessions.sock";
  for (const terminal::Record& r : records()) {
    ::kill(static_cast<pid_t>(r.pid), SIGSTOP);
  }
  auto started = std::chrono::steady_clock::now();
  std::string read;
  std::thread reader([&] {
    read = cstest::askUnix(sock, R"({"op":"terminal_read","caller_pid":)" + self + "}\n", 10s);
  });
  std::this_thread::sleep_for(300ms);  // past the snapshot's age: the list refreshes it
  std::string list = cstest::askUnix(sock, "{\"op\":\"list\"}\n", 10s);
  auto listTook = std::chrono::steady_clock::now() - started - 300ms;
  reader.join();
  auto readTook = std::chrono::steady_clock::now() - started;
  EXPECT_LT(readTook, 1400ms);  // asked one after another, three take 1.5 s at least
  EXPECT_LT(listTook, 500ms);
  EXPECT_NE(std::string::npos, list.find(R"("name":"proj)")) << list;
  Json got = Json::parse(read, nullptr, false);
  ASSERT_EQ(3u, got.value("terminals", Json::array()).size()) << read;
  for (const Json& t : got["terminals"]) {
    EXPECT_FALSE(t["running"]) << t;
  }
}

}  // namespace
