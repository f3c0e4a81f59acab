#include "platform/files.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using cstest::Env;
using namespace std::chrono_literals;

const std::string PATH_LINE = "export PATH=\"$HOME/.local/bin:$PATH\" # corvane: corvane-run";

TEST(InstallZshrc, AnExistingFileIsAppendedThroughALinkOrLeftAlone) {
  enum Kind { ReadOnly, Linked, Dangling, Directory };
  for (Kind kind : {ReadOnly, Linked, Dangling, Directory}) {
    SCOPED_TRACE(kind);
    cstest::TempHome home;
    std::string rc = home / ".zshrc", dotfile = home / "dotfiles-zshrc";
    std::ofstream(dotfile) << "alias ll='ls -l'\n";
    if (kind == ReadOnly) {
      fs::copy_file(dotfile, rc);
      fs::permissions(rc, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    } else if (kind == Directory) {
      fs::create_directory(rc);
    } else {
      fs::create_symlink(kind == Linked ? dotfile : home / "nowhere", rc);
    }
    auto child = cstest::Child::spawn({cstest::binaryPath(), "install-cli"},
                                      {{"HOME", home.path()}, {"PATH", "/usr/bin:/bin"}});
    EXPECT_EQ(0, child->wait());
    std::string err = child->readAllErr();
    EXPECT_EQ(kind != Linked, err.find("\n" + PATH_LINE + "\n") != std::string::npos) << err;
    EXPECT_TRUE(platform::readLink(home / ".local/bin/corvane-run").has_value());
    EXPECT_EQ(kind != ReadOnly && kind != Directory, platform::readLink(rc).has_value());
    EXPECT_EQ("alias ll='ls -l'\n" + (kind == Linked ? "\n" + PATH_LINE + "\n" : ""),
              platform::readFile(kind == ReadOnly ? rc : dotfile));
    EXPECT_FALSE(platform::exists(home / "nowhere"));
  }
}

TEST(LaunchEnds, ClaudeMissingFromPathIs127AndOneLine) {
  cstest::TempHome home;
  auto child = cstest::Child::spawn({cstest::binaryPath(), "launch"},
                                    {{"HOME", home.path()}, {"PATH", home / "nobin"}}, testkit::SpawnOptions(testkit::Err::Keep, {}, home.path()));
  EXPECT_EQ(127, child->wait());
  EXPECT_EQ("✗ claude não está no PATH: instale o Claude Code ou ajuste o PATH.\n",
            child->readAllErr());
  EXPECT_FALSE(platform::exists(home / ".corvane/sessions"));
}

TEST(LaunchEnds, DeepHomeStillGetsTheInjectSocketItsConfigurationNames) {
  cstest::TempHome top;
  std::string home = top / std::string(90, 'h');
  platform::makeDirs(home);
  platform::makeDirs(top / "run");
  Env env{{"HOME", home},
          {"PATH", CS_TESTS_DIR "/stubs:/usr/bin:/bin"},
          {"XDG_RUNTIME_DIR", top / "run"},
          {"STUB_RECORD", home + "/rec"},
          {"STUB_RUN",
           "for s in \"$XDG_RUNTIME_DIR\"/corvane/*; do [ -S \"$s\" ] && "
           "printf %s \"$s\" >>\"$STUB_RECORD.sock\"; done; exit 3"}};
  auto child = cstest::Child::spawn({cstest::binaryPath(), "launch"}, env, testkit::SpawnOptions(testkit::Err::Keep, {}, home));
  child->closeInput();
  EXPECT_EQ(3, child->wait(10s));  // claude's own status
  std::string argv = platform::readFile(home + "/rec.argv").value_or("");
  size_t at = argv.find("--mcp-config=");
  ASSERT_NE(std::string::npos, at) << argv;
  auto config = nlohmann::json::parse(argv.substr(at + 13, argv.find('\0', at) - at - 13));
  std::string named = config["mcpServers"]["corvane"]["env"].value("CV_INJECT_SOCK", "");
  EXPECT_EQ(top / "run/corvane/", named.substr(0, named.rfind('/') + 1));
  EXPECT_EQ(named, platform::readFile(home + "/rec.sock"));
  EXPECT_FALSE(platform::exists(named));
}

}  // namespace
