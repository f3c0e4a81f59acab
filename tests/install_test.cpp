#include "platform/files.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string PATH_LINE = "\nexport PATH=\"$HOME/.local/bin:$PATH\" # corvane: corvane-run\n";
const std::string NOTICE = "→ adicionei ~/.local/bin ao PATH no ~/.zshrc (abra um novo terminal)\n";
const std::string TARGET = platform::resolvePath(cstest::binaryPath());

struct Result {
  int status;
  std::string err;
};

// install-cli with this HOME and exactly this PATH, on which no real bin folder ever is.
Result install(const cstest::TempHome& home, const std::string& path) {
  auto child = cstest::Child::spawn({cstest::binaryPath(), "install-cli"},
                                    {{"HOME", home.path()}, {"PATH", path}});
  auto status = child->wait(10s);
  return {status.value_or(-1), child->readAllErr()};
}

void writeFile(const std::string& path, const std::string& text) {
  std::string err;
  ASSERT_TRUE(platform::replaceFile(path, text, 0644, &err)) << err;
}

std::string installed(const std::string& link) {
  return "✓ corvane-run instalado: " + link + " → " + TARGET + "\n";
}

TEST(Install, FallbackAddsThePathLineOnce) {
  struct Case {
    std::optional<std::string> zshrc;
    std::string want;
    bool notice;
  } cases[] = {
      {std::nullopt, PATH_LINE, true},
      {"alias ll='ls -l'\n", "alias ll='ls -l'\n" + PATH_LINE, true},
      {"export X=1 # corvane: corvane-run\n", "export X=1 # corvane: corvane-run\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.zshrc.value_or("(no .zshrc)"));
    cstest::TempHome home;
    std::string link = home / ".local/bin/corvane-run";
    if (c.zshrc) {
      writeFile(home / ".zshrc", *c.zshrc);
    }
    Result first = install(home, "/usr/bin:/bin");
    EXPECT_EQ(0, first.status);
    EXPECT_EQ((c.notice ? NOTICE : "") + installed(link), first.err);
    EXPECT_EQ(TARGET, platform::readLink(link));
    Result second = install(home, "/usr/bin:/bin");
    EXPECT_EQ(0, second.status);
    EXPECT_EQ("✓ corvane-run já instalado em " + link + "\n", second.err);
    EXPECT_EQ(c.want, platform::readFile(home / ".zshrc"));
  }
}

TEST(Install, WhatIsAlreadyAtTheLinkPathInAFolderOnThePath) {
  enum Outcome { INSTALLED, ALREADY, REFUSED };
  struct Case {
    const char* name;
    std::function<void(const std::string& link)> make;
    Outcome outcome;
  } cases[] = {
      {"nothing", [](auto&) {}, INSTALLED},
      {"the right link", [](auto& link) { fs::create_symlink(TARGET, link); }, ALREADY},
      {"dangling link", [](auto& link) { fs::create_symlink("/nonexistent/x", link); }, INSTALLED},
      {"regular file", [](auto& link) { writeFile(link, "#!/bin/sh\n"); }, INSTALLED},
      {"empty directory", [](auto& link) { fs::create_directory(link); }, REFUSED},
      {"directory with a file",
       [](auto& link) {
         fs::create_directory(link);
         writeFile(link + "/keep", "mine");
       },
       REFUSED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cstest::TempHome home;
    std::string link = home / ".local/bin/corvane-run";
    fs::create_directories(home / ".local/bin");
    c.make(link);
    Result r = install(home, "/usr/bin:" + home / ".local/bin");
    EXPECT_EQ(c.outcome == REFUSED ? 1 : 0, r.status);
    EXPECT_EQ(c.outcome == INSTALLED ? installed(link)
              : c.outcome == ALREADY ? "✓ corvane-run já instalado em " + link + "\n"
                                     : "✋ falha ao criar " + link + ": File exists\n",
              r.err);
    EXPECT_EQ(c.outcome != REFUSED, platform::readLink(link) == TARGET);
    EXPECT_EQ(c.outcome == REFUSED, platform::isDirectory(link));
    EXPECT_EQ(c.name == std::string("directory with a file"), platform::exists(link + "/keep"));
    EXPECT_FALSE(platform::exists(home / ".zshrc"));
  }
}

TEST(Install, UnwritableFallbackFolderFails) {
  if (::geteuid() == 0) {
    GTEST_SKIP() << "root may write into any folder";
  }
  cstest::TempHome home;
  fs::create_directories(home / ".local/bin");
  ::chmod((home / ".local/bin").c_str(), 0555);
  Result r = install(home, "/usr/bin:/bin");
  ::chmod((home / ".local/bin").c_str(), 0755);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(
      NOTICE + "✋ falha ao criar " + home / ".local/bin/corvane-run" + ": Permission denied\n",
      r.err);
}

}  // namespace
