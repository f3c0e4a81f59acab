#include "app/cli.h"

#include <gtest/gtest.h>

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
    Mode mode;
    bool take;
    Args passthrough;
  };
  const Case cases[] = {
      {"channel-server", {}, Mode::Server, false, {}},
      {"channel-server", {"--help"}, Mode::Server, false, {}},
      {"channel-server", {"serve", "launch"}, Mode::Server, false, {}},
      {"channel-server", {"install-cli", "x"}, Mode::InstallCLI, false, {}},
      {"corvane-run", {"install-cli"}, Mode::InstallCLI, false, {}},
      {"channel-server", {"launch"}, Mode::Launch, false, {}},
      {"channel-server", {"launch", "--take", "-c"}, Mode::Launch, true, {"-c"}},
      {"corvane-run", {"launch", "-p", "x"}, Mode::Launch, false, {"-p", "x"}},
      {"corvane-run", {"-p", "launch"}, Mode::Launch, false, {"-p", "launch"}},
      {"corvane-run", {"--take", "--take", "x"}, Mode::Launch, true, {"x"}},
      {"corvane-run", {"--take=1", "--TAKE"}, Mode::Launch, false, {"--take=1", "--TAKE"}},
      {"corvane-run", {"fix the test"}, Mode::Launch, false, {"fix the test"}},
      {"channel-server", {"app"}, Mode::App, false, {}},
      {"channel-server", {"sessions", "--json"}, Mode::Sessions, false, {"--json"}},
      {"corvane-run", {"sessions"}, Mode::Launch, false, {"sessions"}},
      {"corvane-run-old", {}, Mode::Server, false, {}},
      {"Corvane-Run", {}, Mode::Server, false, {}},
      {"channel-server", {"group", "add", "--take"}, Mode::Group, false, {"add", "--take"}},
      {"channel-server", {"notes"}, Mode::Notes, false, {}},
      {"channel-server", {"push"}, Mode::Push, false, {}},
      {"corvane-run", {"push"}, Mode::Launch, false, {"push"}},  // a prompt for claude
      {"corvane-run", {"notes"}, Mode::Launch, false, {"notes"}},
      {"channel-server", {"launch", "notes"}, Mode::Launch, false, {"notes"}},
      {"channel-server", {"statusline", "--install"}, Mode::Statusline, false, {"--install"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.program) + " " + testing::PrintToString(c.args));
    app::Dispatch d = app::dispatch(c.program, c.args);
    EXPECT_EQ(c.mode, d.mode);
    EXPECT_EQ(c.take, d.take);
    EXPECT_EQ(c.passthrough, d.passthrough);
  }
}

}  // namespace
