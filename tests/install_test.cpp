#include "platform/files.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <tuple>

namespace {

namespace fs = std::filesystem;
using Result = std::pair<int, std::string>;  // exit status, standard error

const std::string PATH_LINE = "\nexport PATH=\"$HOME/.local/bin:$PATH\" # corvane: corvane-run\n";
const std::string NOTICE = "→ adicionei ~/.local/bin ao PATH no ~/.zshrc (abra um novo terminal)\n";
const std::string TARGET = platform::resolvePath(cstest::binaryPath());
const std::string ADD = "claude mcp add --scope user corvane-tools -e CV_TOOLS_ONLY=1 -- " + TARGET;
const std::string NO_CLAUDE =
    "ℹ️  claude não está no PATH; para ter as ferramentas em toda sessão, rode:\n   " + ADD +
    "\n";

// install-cli with this HOME and this PATH, on which no real bin folder ever is: /usr/bin and /bin
// stand for an empty folder, so a claude installed on the machine never answers; no shell unless
// the case names one.
Result install(const cstest::TempHome& home, const std::string& path, cstest::Env env = {}) {
  std::string searched, system = home / "system-bin";
  platform::makeDirs(system);
  for (size_t at = 0; at <= path.size();) {
    size_t colon = std::min(path.find(':', at), path.size());
    std::string entry = path.substr(at, colon - at);
    searched += (at == 0 ? "" : ":") + (entry == "/usr/bin" || entry == "/bin" ? system : entry);
    at = colon + 1;
  }
  env.insert({{"HOME", home.path()}, {"PATH", searched}, {"STUB_RECORD", home / "rec"}});
  auto child = cstest::Child::spawn({cstest::binaryPath(), "install-cli"}, env);
  return {child->wait().value_or(-1), child->readAllErr()};
}
enum Outcome { INSTALLED, ALREADY, REFUSED };
Result said(Outcome what, const std::string& dir) {
  return what == INSTALLED ? Result(0, "✓ corvane-run e channel-server instalados em " + dir +
                                           " → " + TARGET + "\n" + NO_CLAUDE)
         : what == ALREADY ? Result(0, "✓ corvane-run e channel-server já instalados em " + dir +
                                           "\n" + NO_CLAUDE)
                           : Result(1, "✋ falha ao criar " + dir + "/corvane-run: File exists\n");
}

TEST(Install, WhatIsAlreadyAtTheLinkPathInAFolderOnThePath) {
  using Make = void (*)(const std::string& link);
  std::tuple<std::string, Make, Outcome> cases[] = {
      {"nothing", [](auto&) {}, INSTALLED},
      {"the right link", [](auto& link) { fs::create_symlink(TARGET, link); }, INSTALLED},
      {"dangling link", [](auto& link) { fs::create_symlink("/nowhere", link); }, INSTALLED},
      {"regular file", [](auto& link) { std::ofstream(link) << "#!/bin/sh\n"; }, INSTALLED},
      {"empty directory", [](auto& link) { fs::create_directory(link); }, REFUSED},
      {"full directory", [](auto& link) { fs::create_directories(link + "/keep"); }, REFUSED},
  };
  for (const auto& [name, make, want] : cases) {
    SCOPED_TRACE(name);
    cstest::TempHome home;
    std::string dir = home / ".local/bin", link = dir + "/corvane-run";
    fs::create_directories(dir);
    make(link);
    EXPECT_EQ(said(want, dir), install(home, "/usr/bin:" + dir));
    EXPECT_EQ(want != REFUSED, platform::readLink(link) == TARGET);
    EXPECT_EQ(want != REFUSED, platform::readLink(dir + "/channel-server") == TARGET);
    EXPECT_EQ(want == REFUSED, platform::isDirectory(link));
    EXPECT_EQ(name == "full directory", platform::exists(link + "/keep"));
    EXPECT_FALSE(platform::exists(home / ".zshrc"));
    if (want != REFUSED) {
      EXPECT_EQ(said(ALREADY, dir), install(home, "/usr/bin:" + dir));
    }
  }
}

TEST(Install, HelpInstallsNothing) {
  cstest::TempHome home;
  auto child = cstest::Child::spawn({cstest::binaryPath(), "install-cli", "--help"},
                                    {{"HOME", home.path()}, {"PATH", "/usr/bin:/bin"}});
  EXPECT_EQ(0, child->wait());
  EXPECT_FALSE(platform::exists(home / ".local"));
}

// With no candidate on the PATH it falls back to ~/.local/bin and sees to the PATH line in
// ~/.zshrc once: added, through a link too, or shown to the user where the file cannot take it.
TEST(Install, FallbackAndThePathLineOnceWhateverTheZshrcIs) {
  const std::string alias = "alias ll='ls -l'\n", marked = "export X=1 # corvane: corvane-run\n";
  enum Kind { Absent, Plain, Marked, ReadOnly, Linked, Dangling, Directory };
  for (Kind kind : {Absent, Plain, Marked, ReadOnly, Linked, Dangling, Directory}) {
    SCOPED_TRACE(kind);
    cstest::TempHome home;
    std::string rc = home / ".zshrc", dotfile = home / "dotfiles-zshrc";
    std::ofstream(dotfile) << (kind == Marked ? marked : alias);
    if (kind == Plain || kind == Marked || kind == ReadOnly) {
      fs::copy_file(dotfile, rc);
    } else if (kind == Directory) {
      fs::create_directory(rc);
    } else if (kind != Absent) {
      fs::create_symlink(kind == Linked ? dotfile : home / "nowhere", rc);
    }
    if (kind == ReadOnly) {
      fs::permissions(rc, fs::perms::owner_write, fs::perm_options::remove);
    }
    bool added = kind == Absent || kind == Plain || kind == Linked;
    bool shown = kind == ReadOnly || kind == Dangling || kind == Directory;
    for (Outcome run : {INSTALLED, ALREADY}) {
      auto [status, err] = install(home, "/usr/bin:/bin", {{"SHELL", "/bin/zsh"}});
      EXPECT_EQ(0, status);
      EXPECT_EQ(shown, err.find(PATH_LINE) != std::string::npos) << err;
      EXPECT_EQ(added && run == INSTALLED, err.starts_with(NOTICE)) << err;
      std::string line = said(run, home / ".local/bin").second;
      EXPECT_NE(std::string::npos, err.find(line.substr(0, line.find('\n') + 1))) << err;
    }
    EXPECT_EQ(TARGET, platform::readLink(home / ".local/bin/corvane-run"));
    EXPECT_EQ(kind == Linked || kind == Dangling, platform::readLink(rc).has_value());
    std::string was = kind == Absent ? "" : kind == Marked ? marked : alias;
    bool elsewhere = kind == Linked || kind == Dangling || kind == Directory;  // the dotfile's
    std::string now = platform::readFile(elsewhere ? dotfile : rc).value_or("");
    EXPECT_EQ(was + (added ? PATH_LINE : ""), now.substr(0, now.find("\n[ -r ")));
    EXPECT_FALSE(platform::exists(home / "nowhere"));
  }
}

// Each shell gets the PATH line in the file it reads, and its completion script where it looks.
TEST(Install, ThePathLineAndCompletionGoWhereTheUsersShellReadsThem) {
  struct Case {
    const char* shell;
    std::string rc, line, completion;
  } cases[] = {
      {"/bin/zsh", ".zshrc", PATH_LINE, ".local/share/zsh/site-functions/_channel-server"},
      {"/usr/bin/bash", ".bashrc", PATH_LINE,
       ".local/share/bash-completion/completions/channel-server"},
      {"/usr/local/bin/fish", ".config/fish/conf.d/corvane.fish",
       "\nset -gx PATH $HOME/.local/bin $PATH # corvane: corvane-run\n",
       ".config/fish/completions/channel-server.fish"},
      {"/bin/tcsh", "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shell);
    cstest::TempHome home;
    std::string link = home / ".local/bin/channel-server";
    auto [status, err] = install(home, "/usr/bin:/bin", {{"SHELL", c.shell}});
    EXPECT_EQ(0, status) << err;
    EXPECT_EQ(TARGET, platform::readLink(link));
    for (const char* rc : {".zshrc", ".bashrc", ".config/fish/conf.d/corvane.fish"}) {
      std::string text = platform::readFile(home / rc).value_or("");
      EXPECT_EQ(rc == c.rc, !c.line.empty() && text.starts_with(c.line)) << rc;
      bool sourced =
          text.find(". ~/" + c.completion + " # corvane: completion") != std::string::npos;
      EXPECT_EQ(rc == c.rc && c.rc != cases[2].rc, sourced) << text;
    }
    if (c.completion.empty()) {
      EXPECT_NE(std::string::npos, err.find("não conheço o seu shell")) << err;
      continue;
    }
    std::string script = platform::readFile(home / c.completion).value_or("");
    EXPECT_NE(std::string::npos, script.find("channel-server sessions --names")) << script;
    std::string before = platform::readFile(home / c.rc).value_or("");
    install(home, "/usr/bin:" + home / ".local/bin", {{"SHELL", c.shell}});
    EXPECT_EQ(before, platform::readFile(home / c.rc).value_or(""));  // nothing twice
  }
}

TEST(Install, FallbackFolderThatCannotBeMadeFails) {
  cstest::TempHome home;
  std::ofstream(home / ".local") << "a file where the folder should be";
  EXPECT_EQ(Result(1, NOTICE + "✋ falha ao criar " + home / ".local/bin/corvane-run" +
                          ": Not a directory\n"),
            install(home, "/usr/bin:/bin", {{"SHELL", "/bin/zsh"}}));
}

// With claude on PATH the tools server is registered through claude's own command, once; a
// registration of another channel-server is re-pointed, anyone else's is left alone.
TEST(Install, RegistersTheToolsServerWithClaude) {
  const std::string quoted = "\"" + TARGET + "\"", remove = "mcp remove corvane-tools -s user\n";
  const std::string add = ADD.substr(7) + "\n",
                    linked = "✓ corvane-run e channel-server instalados em ";
  auto registration = [](const std::string& command) {
    return "{\"mcpServers\":{\"corvane-tools\":{\"command\":\"" + command + "\"}}}";
  };
  struct Case {
    std::string name, before;  // ~/.claude.json
    const char* mcpStatus;     // claude's own exit status
    std::string calls;
    bool registered;
    std::string said;
  } cases[] = {
      {"none", "", "0", add, true,
       "✓ ferramentas registradas no claude para toda sessão: corvane-tools → " + quoted},
      {"this one", registration(TARGET), "0", "", true,
       "✓ ferramentas já registradas no claude: corvane-tools → " + quoted},
      {"another channel-server", registration("/old/bin/channel-server"), "0", remove + add, true,
       "✓ corvane-tools re-apontado no claude: \"/old/bin/channel-server\" → " + quoted},
      {"someone else's", registration("/opt/x/tools\\u001b]0;t\\u0007"), "0", "", false,
       "ℹ️  o corvane-tools do claude roda outro programa "
       "(\"/opt/x/tools\\u001b]0;t\\u0007\"): "
       "deixei como está"},
      {"claude fails", "", "3", add, false,
       "✗ 'claude mcp add' falhou (status 3); para registrar as ferramentas, rode:\n   " + ADD},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cstest::TempHome home;
    fs::create_directories(home / ".local/bin");
    if (!c.before.empty()) {
      std::ofstream(home / ".claude.json") << c.before;
    }
    auto [status, err] = install(home, CS_TESTS_DIR "/stubs:" + home / ".local/bin",
                                 {{"STUB_MCP_STATUS", c.mcpStatus}});
    EXPECT_EQ(0, status);
    EXPECT_EQ(linked + home / ".local/bin → " + TARGET + "\n" + c.said + "\n", err);
    EXPECT_EQ(c.calls, platform::readFile(home / "rec.mcp").value_or(""));
    auto config = platform::readFile(home / ".claude.json").value_or("");
    EXPECT_EQ(c.registered, config.find(TARGET) != std::string::npos) << config;
  }
}

}  // namespace
