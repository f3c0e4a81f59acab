#include "app/cli.h"

#include "app/help.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace {

using app::Mode;

TEST(Cli, ChannelPortValues) {
  // Digits, signs and overflow are parseDecimal's, tested with it; here only the range.
  const std::pair<const char*, int> cases[] = {
      {"8080", 8080}, {"+8080", 8080}, {"65535", 65535}, {"0", 0},
      {"-0", 0},      {"65536", 0},    {"-1", 0},        {"00080", 80},
  };
  for (const auto& [in, want] : cases) {
    EXPECT_EQ(want, app::parsePort(in)) << in;
  }
}

TEST(Cli, Dispatch) {
  using Args = std::vector<std::string>;
  struct Case {
    const char* program;
    Args args;
    bool tty;  // standard input is a terminal
    Mode mode;
    bool take;
    Args passthrough;
  };
  const Case cases[] = {
      {"channel-server", {}, true, Mode::Server, false, {}},
      {"channel-server", {"serve", "launch"}, false, Mode::Server, false, {}},  // claude's words
      {"channel-server", {"sesions"}, true, Mode::Usage, false, {}},            // a typo
      {"channel-server", {"--help"}, false, Mode::Help, false, {}},
      {"channel-server", {"-h"}, true, Mode::Help, false, {}},
      {"channel-server", {"help", "push"}, true, Mode::Help, false, {"push"}},
      {"channel-server", {"push", "--help", "x"}, true, Mode::Help, false, {"push"}},
      {"channel-server", {"launch", "-h"}, true, Mode::Help, false, {"launch"}},
      {"channel-server", {"push", "--", "--help"}, true, Mode::Push, false, {"--", "--help"}},
      {"channel-server", {"--version"}, false, Mode::Version, false, {}},
      {"channel-server", {"install-cli", "x"}, true, Mode::InstallCLI, false, {"x"}},
      {"channel-server", {"install-cli", "--help"}, true, Mode::Help, false, {"install-cli"}},
      {"corvane-run", {"install-cli"}, true, Mode::InstallCLI, false, {}},
      {"corvane-run", {"--help"}, true, Mode::Launch, false, {"--help"}},  // claude's help
      {"corvane-run", {}, true, Mode::Launch, false, {}},
      {"channel-server", {"launch", "--take", "-c"}, true, Mode::Launch, true, {"-c"}},
      {"corvane-run", {"launch", "-p", "x"}, true, Mode::Launch, false, {"-p", "x"}},
      {"corvane-run", {"-p", "launch"}, false, Mode::Launch, false, {"-p", "launch"}},
      {"corvane-run", {"--take", "--take", "x"}, true, Mode::Launch, true, {"x"}},
      {"corvane-run", {"--take=1", "--TAKE"}, true, Mode::Launch, false, {"--take=1", "--TAKE"}},
      {"channel-server", {"sessions", "--json"}, true, Mode::Sessions, false, {"--json"}},
      {"corvane-run", {"sessions"}, true, Mode::Launch, false, {"sessions"}},  // a prompt
      {"corvane-run-old", {}, true, Mode::Server, false, {}},
      {"Corvane-Run", {"x"}, false, Mode::Server, false, {}},
      {"channel-server", {"group", "add", "--take"}, true, Mode::Group, false, {"add", "--take"}},
      {"channel-server", {"completion", "fish"}, true, Mode::Completion, false, {"fish"}},
      {"channel-server", {"launch", "notes"}, true, Mode::Launch, false, {"notes"}},
      {"channel-server", {"statusline", "--install"}, true, Mode::Statusline, false, {"--install"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.program) + " " + testing::PrintToString(c.args));
    app::Dispatch d = app::dispatch(c.program, c.args, c.tty);
    EXPECT_EQ(c.mode, d.mode);
    EXPECT_EQ(c.take, d.take);
    EXPECT_EQ(c.passthrough, d.passthrough);
  }
}

// Every command has its line on the one screen, and each generated completion script parses.
TEST(Cli, HelpNamesEveryCommandAndCompletionScriptsParse) {
  std::string screen = app::helpScreen();
  for (const app::Command& c : app::commands()) {
    EXPECT_NE(std::string::npos, screen.find("\n  " + std::string(c.word) + " ")) << c.word;
  }
  EXPECT_LE(std::count(screen.begin(), screen.end(), '\n'), 24);
  EXPECT_FALSE(app::completionScript("tcsh"));
  const std::pair<const char*, const char*> shells[] = {{"bash", "/bin/bash"}, {"zsh", "/bin/zsh"}};
  for (const auto& [shell, program] : shells) {
    SCOPED_TRACE(shell);
    if (::access(program, X_OK) != 0) {
      continue;
    }
    cstest::TempHome home;
    std::ofstream(home / "script") << app::completionScript(shell).value();
    std::string check = std::string(program) + " -n " + home / "script";
    EXPECT_EQ(0, std::system(check.c_str()));
  }
}

}  // namespace
