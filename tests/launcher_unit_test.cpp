#include "launcher/inject.h"
#include "launcher/install.h"
#include "launcher/proxy.h"
#include "launcher/pty_relay.h"
#include "launcher/session.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/posix.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using launcher::Json;
using Pids = std::vector<pid_t>;
using Strings = std::vector<std::string>;

TEST(TakeTargets, OnlySignallablePidsLauncherFirst) {
  auto targets = [](const Json& record) { return launcher::takeTargets({record}); };
  EXPECT_EQ((Pids{4321, 1234}), targets({{"launcherPid", 4321}, {"pid", 1234}}));
  EXPECT_EQ((Pids{1234}), targets({{"launcherPid", 0}, {"pid", 1234.0}}));
  EXPECT_EQ(Pids{}, targets({{"launcherPid", 1}, {"pid", -5}}));
  EXPECT_EQ(Pids{}, targets({{"pid", 2147483648LL}}));
  EXPECT_EQ(Pids{}, targets({{"pid", 4294968530LL}}));  // 2^32 + 1234 must not wrap to 1234
  EXPECT_EQ(Pids{}, targets({{"pid", "1234"}}));
  EXPECT_EQ(Pids{}, targets({{"pid", 1234.5}}));
}

TEST(ChildEnvironment, ReplacesOrAddsOnlyTheNamedVariable) {
  auto childEnv = [](std::vector<const char*> vars) {
    vars.push_back(nullptr);
    return launcher::childEnvironment(vars.data(), {{"CV_CHANNEL_TOKEN", "new"}});
  };
  EXPECT_EQ((Strings{"PATH=/bin", "HOME=/h", "CV_CHANNEL_TOKEN=new"}),
            childEnv({"PATH=/bin", "CV_CHANNEL_TOKEN=old", "HOME=/h"}));
  EXPECT_EQ((Strings{"CV_CHANNEL_TOKEN_X=k", "CV_CHANNEL_TOKENS=k", "CV_CHANNEL_TOKEN=new"}),
            childEnv({"CV_CHANNEL_TOKEN_X=k", "CV_CHANNEL_TOKENS=k"}));
  EXPECT_EQ((Strings{"NOEQUALS", "CV_CHANNEL_TOKEN=new"}),
            childEnv({"CV_CHANNEL_TOKEN=a", "CV_CHANNEL_TOKEN=b", "NOEQUALS"}));
  EXPECT_EQ((Strings{"CV_CHANNEL_TOKEN=new"}), childEnv({}));
}

TEST(ChooseLinkDir, FirstUsableCandidateThatIsExactlyOnThePath) {
  auto choose = [](const char* path, const std::string& unusable = "") {
    return launcher::chooseLinkDir(launcher::linkDirCandidates("/h"), path,
                                   [&](const std::string& dir) { return dir != unusable; });
  };
  EXPECT_EQ("/h/.local/bin", choose("/usr/bin:/h/.local/bin"));
  EXPECT_EQ("/opt/homebrew/bin", choose("/usr/local/bin:/opt/homebrew/bin"));
  EXPECT_EQ("/usr/local/bin", choose("/h/.local/bin:/usr/local/bin", "/h/.local/bin"));
  EXPECT_EQ(std::nullopt, choose("/h/.local/bin/:~/.local/bin:/h/.local/binx:/h/.local"));
  EXPECT_EQ("/opt/homebrew/bin", choose("::/opt/homebrew/bin:"));
  EXPECT_EQ(std::nullopt, choose(""));
}

TEST(Relay, ChildThatCannotExecEndsWith127AndSaysWhy) {
  if (!platform::exists("/dev/ptmx")) {
    GTEST_SKIP() << "no pty";
  }
  cstest::TempHome home;
  launcher::PtyChild child;
  int err = 0;
  ASSERT_TRUE(launcher::startOnPty({"claude"}, {"PATH=/nonexistent"}, "corvane-run: execvp claude",
                                   nullptr, nullptr, &child, &err))
      << err;
  platform::UniqueFd in{::open("/dev/null", O_RDONLY)}, wake, wakeWrite;
  platform::UniqueFd out{::open((home / "out").c_str(), O_RDWR | O_CREAT, 0600)};
  platform::makePipe(&wake, &wakeWrite);
  auto end = launcher::relay({in.get(), out.get(), child.master.get(), wake.get()}, child.pid);
  int status = end.status.value_or(0);
  if (!end.status) {
    ::waitpid(child.pid, &status, 0);  // Linux: EIO on the master may come before the reap
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 127) << status;
  EXPECT_EQ("corvane-run: execvp claude: No such file or directory\r\n",
            platform::readFile(home / "out"));
}

TEST(Inject, OverlongPathBindsNothing) {
  cstest::TempHome home;
  platform::UniqueFd listener;
  std::string overlong = home / std::string(platform::sunPathSize(), 'x');
  EXPECT_FALSE(launcher::openInject(overlong, &listener));
  EXPECT_FALSE(platform::exists(overlong));
  EXPECT_FALSE(platform::exists(overlong.substr(0, platform::sunPathSize() - 1)));
}

}  // namespace
