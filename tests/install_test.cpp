#include "platform/files.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <tuple>

namespace {

namespace fs = std::filesystem;
using Result = std::pair<int, std::string>;  // exit status, standard error

const std::string PATH_LINE = "\nexport PATH=\"$HOME/.local/bin:$PATH\" # corvane: corvane-run\n";
const std::string NOTICE = "→ adicionei ~/.local/bin ao PATH no ~/.zshrc (abra um novo terminal)\n";
const std::string TARGET = platform::resolvePath(cstest::binaryPath());

// install-cli with this HOME and exactly this PATH, on which no real bin folder ever is.
Result install(const cstest::TempHome& home, const std::string& path) {
  auto child = cstest::Child::spawn({cstest::binaryPath(), "install-cli"},
                                    {{"HOME", home.path()}, {"PATH", path}});
  return {child->wait().value_or(-1), child->readAllErr()};
}
enum Outcome { INSTALLED, ALREADY, REFUSED };
Result said(Outcome what, const std::string& link) {
  return what == INSTALLED ? Result(0, "✓ corvane-run instalado: " + link + " → " + TARGET + "\n")
         : what == ALREADY ? Result(0, "✓ corvane-run já instalado em " + link + "\n")
                           : Result(1, "✋ falha ao criar " + link + ": File exists\n");
}

TEST(Install, WhatIsAlreadyAtTheLinkPathInAFolderOnThePath) {
  using Make = void (*)(const std::string& link);
  std::tuple<std::string, Make, Outcome> cases[] = {
      {"nothing", [](auto&) {}, INSTALLED},
      {"the right link", [](auto& link) { fs::create_symlink(TARGET, link); }, ALREADY},
      {"dangling link", [](auto& link) { fs::create_symlink("/nowhere", link); }, INSTALLED},
      {"regular file", [](auto& link) { std::ofstream(link) << "#!/bin/sh\n"; }, INSTALLED},
      {"empty directory", [](auto& link) { fs::create_directory(link); }, REFUSED},
      {"full directory", [](auto& link) { fs::create_directories(link + "/keep"); }, REFUSED},
  };
  for (const auto& [name, make, want] : cases) {
    SCOPED_TRACE(name);
    cstest::TempHome home;
    std::string link = home / ".local/bin/corvane-run";
    fs::create_directories(home / ".local/bin");
    make(link);
    EXPECT_EQ(said(want, link), install(home, "/usr/bin:" + home / ".local/bin"));
    EXPECT_EQ(want != REFUSED, platform::readLink(link) == TARGET);
    EXPECT_EQ(want == REFUSED, platform::isDirectory(link));
    EXPECT_EQ(name == "full directory", platform::exists(link + "/keep"));
    EXPECT_FALSE(platform::exists(home / ".zshrc"));
  }
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
    std::string link = home / ".local/bin/corvane-run";
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
      auto [status, err] = install(home, "/usr/bin:/bin");
      EXPECT_EQ(0, status);
      EXPECT_EQ(shown, err.find(PATH_LINE) != std::string::npos) << err;
      std::string lead = shown ? err.substr(0, err.find(PATH_LINE) + PATH_LINE.size())
                         : added && run == INSTALLED ? NOTICE
                                                     : "";
      EXPECT_EQ(lead + said(run, link).second, err);
    }
    EXPECT_EQ(TARGET, platform::readLink(link));
    EXPECT_EQ(kind == Linked || kind == Dangling, platform::readLink(rc).has_value());
    std::string was = kind == Absent ? "" : kind == Marked ? marked : alias;
    bool elsewhere = kind == Linked || kind == Dangling || kind == Directory;  // the dotfile's
    EXPECT_EQ(was + (added ? PATH_LINE : ""), platform::readFile(elsewhere ? dotfile : rc));
    EXPECT_FALSE(platform::exists(home / "nowhere"));
  }
}

TEST(Install, FallbackFolderThatCannotBeMadeFails) {
  cstest::TempHome home;
  std::ofstream(home / ".local") << "a file where the folder should be";
  EXPECT_EQ(Result(1, NOTICE + "✋ falha ao criar " + home / ".local/bin/corvane-run" +
                          ": Not a directory\n"),
            install(home, "/usr/bin:/bin"));
}

}  // namespace
