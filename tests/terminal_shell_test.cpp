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
    ctx.you = companion::SessionRef{"me", "id", platform::resolvePath(home / "proj"), "proj", "", 1,
                                    true, ""};
  }
  void start() {
    cstest::Env env{{"SHELL", "/bin/sh"}, {"PS1", "$ "}, {"TERM", "xterm"}};
    env.merge(cstest::baseEnv(home.path()));
    sh = std::make_unique<cstest::Pty>(
        std::vector<std::string>{"/bin/sh", "-c", "cd \"$0\" && exec \"$1\" shell", ctx.you->cwd,
                                 cstest::binaryPath()},
        env);
    ASSERT_TRUE(sh->until([&] { return records().size() == 1; }));
    ASSERT_TRUE(sh->until([&] { return screenHas("$"); }));
  }
  std::vector<terminal::Record> records() { return terminal::listTerminals(ctx.stateDir); }
  bool screenHas(const std::string& text) {
    Json got = terminal::terminalRead({{"terminal", "proj"}}, ctx);
    return got.value("lines", Json()).dump().find(text) != std::string::npos;
  }
  void type(std::string_view bytes) { ASSERT_TRUE(sh->type(bytes)); }

  cstest::TempHome home;
  companion::Context ctx;
  std::unique_ptr<cstest::Pty> sh;
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

}  // namespace
