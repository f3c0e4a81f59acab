#include "launcher/pty_relay.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "terminal/ops.h"
#include "terminal/records.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace {

using base::Json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

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
  void TearDown() override {
    if (shell.pid > 0 && !ended(0ms)) {
      ::kill(shell.pid, SIGKILL);
      ::waitpid(shell.pid, nullptr, 0);
    }
  }
  void start() {
    std::vector<std::string> env{"HOME=" + home.path(), "PATH=/usr/bin:/bin", "SHELL=/bin/sh",
                                 "PS1=$ ", "TERM=xterm"};
    winsize size{24, 80, 0, 0};
    int err = 0;
    ASSERT_TRUE(launcher::startOnPty(
        {"/bin/sh", "-c", "cd \"$0\" && exec \"$1\" shell", ctx.you->cwd, cstest::binaryPath()},
        env, "sh", nullptr, &size, &shell, &err));
    ASSERT_TRUE(eventually([&] { return records().size() == 1; }));
    ASSERT_TRUE(eventually([&] { return screenHas("$"); }));
  }
  std::vector<terminal::Record> records() { return terminal::listTerminals(ctx.stateDir); }
  bool screenHas(const std::string& text) {
    Json got = terminal::terminalRead({{"terminal", "proj"}}, ctx);
    return got.value("lines", Json()).dump().find(text) != std::string::npos;
  }
  // Keeps reading the terminal, as the user's would, until `done` holds or 5 s pass.
  template <class F>
  bool eventually(F done) {
    for (auto end = Clock::now() + 5s; Clock::now() < end;) {
      char buf[4096];
      while (::read(shell.master.get(), buf, sizeof(buf)) > 0) {
      }
      if (done()) {
        return true;
      }
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  bool ended(std::chrono::milliseconds timeout) {
    auto reaped = [&] {
      int st = 0;
      if (!status && ::waitpid(shell.pid, &st, WNOHANG) == shell.pid) {
        status = st;
      }
      return status.has_value();
    };
    return timeout == 0ms ? reaped() : eventually(reaped);
  }
  void type(std::string_view bytes) {
    ASSERT_TRUE(platform::writeAll(shell.master.get(), bytes.data(), bytes.size()));
  }

  cstest::TempHome home;
  companion::Context ctx;
  launcher::PtyChild shell;
  std::optional<int> status;
};

TEST_F(ShellTest, TypedLineWaitsAtThePromptUntilTheUserRunsIt) {
  start();
  terminal::Record r = records().at(0);
  EXPECT_EQ(S_IFSOCK | 0600u, cstest::modeOf(r.controlSocket));
  type("ls /no-such-dir\r");
  EXPECT_TRUE(eventually([&] { return screenHas("No such file or directory"); }));

  Json typed = terminal::terminalWrite({{"terminal", "proj"}, {"text", "touch ran"}}, ctx);
  EXPECT_EQ(9, typed.value("typed_chars", 0)) << typed;
  EXPECT_TRUE(eventually([&] { return screenHas("$ touch ran\"]"); }));
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(platform::exists(ctx.you->cwd + "/ran"));
  type("\r");  // the user presses Enter: it was at the prompt
  EXPECT_TRUE(eventually([&] { return platform::exists(ctx.you->cwd + "/ran"); }));

  type("exit 3\r");
  ASSERT_TRUE(ended(5s));
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 3);
  EXPECT_TRUE(records().empty());
  EXPECT_FALSE(platform::exists(r.controlSocket));
}

TEST_F(ShellTest, SignalsEndItAndLeaveNothingBehind) {
  for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
    SCOPED_TRACE(sig);
    status.reset();
    start();
    std::string sock = records().at(0).controlSocket;
    ::kill(shell.pid, sig);
    ASSERT_TRUE(ended(5s));
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == sig);
    EXPECT_TRUE(records().empty());
    EXPECT_FALSE(platform::exists(sock));
    shell = launcher::PtyChild();
  }
}

}  // namespace
