#include "launcher/install.h"
#include "launcher/proxy.h"
#include "launcher/session.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using launcher::Json;

TEST(TakeTargets, OnlySignallablePidsLauncherFirst) {
  struct Case {
    Json record;
    std::vector<pid_t> want;
  } cases[] = {
      {{{"launcherPid", 4321}, {"pid", 1234}}, {4321, 1234}},
      {{{"launcherPid", 0}, {"pid", 1234}}, {1234}},
      {{{"launcherPid", 1}, {"pid", -5}}, {}},
      {{{"pid", 2147483648LL}}, {}},
      {{{"pid", 4294968530LL}}, {}},  // 2^32 + 1234 must not wrap to 1234
      {{{"pid", "1234"}}, {}},
      {{{"pid", 1234.5}}, {}},
      {{{"pid", 1234.0}}, {1234}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.record.dump());
    EXPECT_EQ(c.want, launcher::takeTargets({c.record}));
  }
}

TEST(ChildEnvironment, ReplacesOrAddsOnlyTheNamedVariable) {
  struct Case {
    std::vector<const char*> environ;
    std::vector<std::string> want;
  } cases[] = {
      {{"PATH=/bin", "CV_CHANNEL_TOKEN=old", "HOME=/h", nullptr},
       {"PATH=/bin", "HOME=/h", "CV_CHANNEL_TOKEN=new"}},
      {{"CV_CHANNEL_TOKEN_X=keep", "CV_CHANNEL_TOKENS=keep", nullptr},
       {"CV_CHANNEL_TOKEN_X=keep", "CV_CHANNEL_TOKENS=keep", "CV_CHANNEL_TOKEN=new"}},
      {{"CV_CHANNEL_TOKEN=a", "CV_CHANNEL_TOKEN=b", "NOEQUALS", nullptr},
       {"NOEQUALS", "CV_CHANNEL_TOKEN=new"}},
      {{nullptr}, {"CV_CHANNEL_TOKEN=new"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want.front());
    EXPECT_EQ(c.want, launcher::childEnvironment(c.environ.data(), {{"CV_CHANNEL_TOKEN", "new"}}));
  }
}

TEST(ChooseLinkDir, FirstUsableCandidateThatIsExactlyOnThePath) {
  struct Case {
    const char* path;
    std::set<std::string> unusable;
    std::optional<std::string> want;
  } cases[] = {
      {"/usr/bin:/h/.local/bin", {}, "/h/.local/bin"},
      {"/usr/local/bin:/opt/homebrew/bin", {}, "/opt/homebrew/bin"},
      {"/h/.local/bin:/usr/local/bin", {"/h/.local/bin"}, "/usr/local/bin"},
      {"/h/.local/bin/:~/.local/bin:/h/.local/binx:/h/.local", {}, std::nullopt},
      {"::/opt/homebrew/bin:", {}, "/opt/homebrew/bin"},
      {"", {}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto usable = [&](const std::string& d) { return c.unusable.count(d) == 0; };
    EXPECT_EQ(c.want, launcher::chooseLinkDir(launcher::linkDirCandidates("/h"), c.path, usable));
  }
}

}  // namespace
