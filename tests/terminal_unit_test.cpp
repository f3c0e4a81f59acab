#include "launcher/inject.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "terminal/control.h"
#include "terminal/feeder.h"
#include "terminal/ops.h"
#include "terminal/records.h"
#include "terminal/screen.h"
#include "terminal/shell.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <thread>
#include <unistd.h>

namespace {

using base::Json;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

TEST(ScreenTest, LinesAreWhatTheUserSees) {
  struct Case {
    const char* what;
    std::string bytes;
    Lines want;
    bool narrowed = false;  // resized to 10x20 first: new output wraps at the new width
  } cases[] = {
      {"colours", "\x1b[1;31merror\x1b[0m: \x1b[38;5;208mbad\x1b[m   \r\n$ ", {"error: bad", "$"}},
      {"progress", "get  10%\rget  50%\rget 100%\r\ndone", {"get 100%", "done"}},
      {"clear", "old\r\nstuff\r\n\x1b[H\x1b[2Jfresh", {"fresh"}},
      {"wide", "日本語 ok\r\n表x\x1b[2D\x1b[Cy", {"日本語 ok", "表y"}},
      {"cursor moves",
       "abc\x1b[10;5Hlow\x1b[2;1Hmid",
       {"abc", "mid", "", "", "", "", "", "", "", "    low"}},
      {"alternate screen", "sh$ vim\r\n\x1b[?1049h\x1b[H\x1b[2J~\r\n~ file", {"~", "~ file"}},
      {"back from it", "sh$ vim\r\n\x1b[?1049h\x1b[2Jvim\x1b[?1049lsh$ ", {"sh$ vim", "sh$"}},
      {"split UTF-8", "caf\xc3", {"caf"}},
      {"resized", std::string(30, 'x'), {std::string(20, 'x'), std::string(10, 'x')}, true},
  };
  for (const auto& c : cases) {
    terminal::Screen screen(24, 80);
    if (c.narrowed) {
      screen.resize(10, 20);
    }
    screen.feed(c.bytes);
    EXPECT_EQ(c.want, screen.lastLines(50)) << c.what;
  }
}

TEST(FeederTest, AFloodEndsWithTheScreenItWouldHaveLeft) {
  std::string flood = "\x1b[?2004h";
  for (int i = 0; i < 400000; ++i) {  // far more than the emulation keeps up with
    flood +=
        "\x1b[32mline\x1b[m " + std::to_string(i) + " " + std::string(i % 50 + 1, '.') + "\r\n";
  }
  flood += "$ ";
  terminal::Screen screen(24, 80);
  {
    terminal::Feeder feeder(&screen, -1);
    for (size_t at = 0; at < flood.size(); at += 8192) {
      feeder.push(std::string_view(flood).substr(at, 8192));
    }
    feeder.flush(60s);
  }
  // The whole scrollback, in order: the newest lines that it holds, the oldest gone.
  Lines last = screen.lastLines(20000);
  ASSERT_GE(last.size(), 5000u);
  ASSERT_LT(last.size(), 10000u);
  for (size_t i = 0, n = 400001 - last.size(); i + 1 < last.size(); ++i, ++n) {
    ASSERT_EQ("line " + std::to_string(n) + " " + std::string(n % 50 + 1, '.'), last[i]);
  }
  EXPECT_EQ("$", last.back());
  EXPECT_EQ(Lines(last.end() - 3, last.end()), screen.lastLines(3));
}

TEST(ControlTest, TypesAtThePromptAsPasteOnlyWhenTheShellAskedForIt) {
  struct Case {
    std::vector<std::string> feeds;
    std::string typed;
  } cases[] = {
      {{"$ "}, "ls -l"},
      {{"\x1b[?2004h$ "}, "\x1b[200~ls -l\x1b[201~"},
      {{"\x1b[?20", "04h$ "}, "\x1b[200~ls -l\x1b[201~"},
      {{"\x1b[?2004h", "x\x1b[?2004l\r\n"}, "ls -l"},
      {{"\x1b[?2004l\x1b[?2004h"}, "\x1b[200~ls -l\x1b[201~"},
  };
  for (const auto& c : cases) {
    terminal::Screen screen(24, 80);
    for (const auto& f : c.feeds) {
      screen.feed(f);
    }
    std::string typed;
    Json answer =
        terminal::answerControl(R"({"op":"type","text":"ls -l"})", screen, std::nullopt, &typed);
    EXPECT_EQ(c.typed, typed) << c.feeds[0];
    EXPECT_EQ(5, answer.value("typed_chars", 0));
  }
  terminal::Screen screen(24, 80);
  for (const char* bad :
       {R"({"op":"type","text":"ls\n"})", R"({"op":"type","text":"a\rb"})",
        R"({"op":"type","text":"\u0003"})", R"({"op":"type","text":"rm\u009b1m"})",
        R"({"op":"type","text":"a\u2028b"})", R"({"op":"type"})", "{", "[]"}) {
    std::string typed;
    EXPECT_TRUE(terminal::answerControl(bad, screen, std::nullopt, &typed).contains("error"))
        << bad;
    EXPECT_EQ("", typed) << bad;
  }
}

// Terminals served in this process: each screen behind a real control socket, its typed bytes
// arriving on a pipe.
class OpsTest : public ::testing::Test {
 protected:
  struct Open {
    std::unique_ptr<terminal::Screen> screen;
    platform::UniqueFd typedRead, typedWrite;
  };
  void SetUp() override {
    ::setenv("HOME", home.path().c_str(), 1);
    ctx.stateDir = home / ".corvane";
    platform::makeDirs(ctx.stateDir);
    ctx.you = ops::SessionRef{"me", "id", "/w/proj", "proj", "", 1, true, ""};
  }
  // Typed bytes go to the pipe, or to `shell`'s terminal when one is given.
  Open& open(const std::string& name, const std::string& folder, std::string_view shown,
             long long pid = ::getpid(), cstest::Pty* shell = nullptr) {
    auto& t = *terms.emplace_back(std::make_unique<Open>());
    t.screen = std::make_unique<terminal::Screen>(24, 80);
    t.screen->feed(shown);
    platform::makePipe(&t.typedRead, &t.typedWrite);
    std::string id = platform::randomUUID(), sock = *terminal::controlSocketPath(ctx.stateDir, id);
    // Written now, in opening order: a record older than its process is not believed.
    int64_t at = platform::nowSeconds() * 1000 + static_cast<int64_t>(terms.size());
    terminal::Record r{id, name, folder, pid, sock, at, ""};
    platform::UniqueFd listener;
    EXPECT_TRUE(launcher::openInject(r.controlSocket, &listener));
    std::thread(terminal::serveControl, std::move(listener), t.screen.get(),
                shell ? shell->pty.master.get() : t.typedWrite.get(),
                shell ? shell->pty.pid : ::getpid(), nullptr)
        .detach();
    EXPECT_TRUE(platform::createFile(terminal::terminalsDir(ctx.stateDir) + "/" + id + ".json",
                                     base::serialize(terminal::toJson(r)).value(), 0600, nullptr));
    return t;
  }
  cstest::TempHome home;
  ops::Context ctx;
  std::vector<std::unique_ptr<Open>> terms;
};

TEST_F(OpsTest, ReadsOnlyYourTerminals) {
  const Json none = Json::parse(R"({"terminals":[],"hint":"open one with: channel-server shell"})");
  EXPECT_EQ(none, terminal::terminalRead(Json::object(), ctx));
  std::string many;
  for (int i = 1; i <= 700; ++i) {
    many += "out " + std::to_string(i) + "\r\n";
  }
  open("other", "/w/elsewhere", "secret\r\n");
  EXPECT_EQ(none, terminal::terminalRead(Json::object(), ctx));
  open("proj", "/w/proj", "$ make\r\nmake: *** [all] Error 2\r\n$ ");
  open("proj-2", "/w/proj", many + "$ ");
  open("proj-3", "/w/proj", "", cstest::deadPid());

  Json index = terminal::terminalRead(Json::object(), ctx);
  ASSERT_EQ(3u, index["terminals"].size()) << index;
  EXPECT_EQ(Json::parse(R"(["$ make","make: *** [all] Error 2","$"])"),
            index["terminals"][0]["last_lines"]);
  EXPECT_EQ(6u, index["terminals"][1]["last_lines"].size());
  EXPECT_EQ("out 700", index["terminals"][1]["last_lines"][4]);
  EXPECT_FALSE(index["terminals"][2]["running"]);
  EXPECT_TRUE(index["terminals"][2]["last_lines"].is_null());

  // lines asked for (null: none), lines read
  const std::pair<Json, size_t> asked[] = {
      {nullptr, 120}, {3, 3}, {1e9, 600}, {-2, 120}, {"x", 120}};
  for (const auto& [lines, want] : asked) {
    Json got =
        terminal::terminalRead(lines.is_null() ? Json{{"terminal", "proj-2"}}
                                               : Json{{"terminal", "proj-2"}, {"lines", lines}},
                               ctx);
    EXPECT_EQ(want, got["lines"].size()) << lines;
    EXPECT_EQ("proj-2", got["terminal"]);
  }
  std::string id = index["terminals"][0]["id"];
  EXPECT_EQ("proj", terminal::terminalRead({{"terminal", id.substr(0, 6)}}, ctx)["terminal"]);
  EXPECT_EQ(R"({"terminal":"proj-3","running":false,"lines":null,"reason":"the shell has ended"})",
            terminal::terminalRead({{"terminal", "proj-3"}}, ctx).dump());
  EXPECT_TRUE(terminal::terminalRead({{"terminal", "other"}}, ctx).contains("error"));
}

TEST_F(OpsTest, WritesAtThePromptAndRefusesInOrder) {
  auto write = [&](const char* name, const char* text) {
    return terminal::terminalWrite({{"terminal", name}, {"text", text}}, ctx);
  };
  const std::string newline = "text must be one line; a newline would run it";
  EXPECT_EQ(newline, write("proj", "make\n")["error"]);
  EXPECT_EQ("you have no terminal open", write("proj", "make")["error"]);
  Open& other = open("other", "/w/elsewhere", "$ ");
  EXPECT_EQ("you have no terminal open", write("other", "make")["error"]);
  // The shell's stand-in: the one process on its terminal, so always in the foreground.
  cstest::Pty shell({"/bin/sh", "-c", "echo up; exec sleep 600"}, cstest::baseEnv(home.path()));
  ASSERT_TRUE(shell.read("up"));  // its terminal is its own by now
  open("proj", "/w/proj", "$ ", ::getpid(), &shell);
  EXPECT_EQ(newline, write("other", "a\rb")["error"]);
  Json refused = write("other", "make");
  EXPECT_EQ(Json::array({"proj"}), refused["terminals"]) << refused;
  EXPECT_EQ(Json::parse(R"({"ok":true,"terminal":"proj","typed_chars":9})"),
            write("proj", "make café"));
  EXPECT_TRUE(shell.read("make café"));  // the terminal's echo
  char typed;
  EXPECT_EQ(-1, ::read(other.typedRead.get(), &typed, 1)) << "typed into the other terminal";
  ctx.you.reset();
  EXPECT_EQ("you have no terminal open", write("proj", "make")["error"]);
}

TEST_F(OpsTest, NamesAndPrune) {
  open("proj", "/w/proj", "");
  open("proj-2", "/w/proj", "");
  open("proj", "/w/other/proj", "");
  EXPECT_EQ("proj-3", terminal::terminalName(ctx.stateDir, "/w/proj", std::nullopt));
  EXPECT_EQ("x", terminal::terminalName(ctx.stateDir, "/w/proj", "x"));
  EXPECT_EQ("sub", terminal::terminalName(ctx.stateDir, "/w/proj/sub", std::nullopt));

  open("gone", "/w/proj", "", cstest::deadPid());
  std::string outside = home / "keep.sock";
  ASSERT_TRUE(platform::createFile(outside, "", 0600, nullptr));
  terminal::Record stray{"STRAY", "s", "/w", cstest::deadPid(), outside, 0, ""};
  platform::createFile(ctx.stateDir + "/terminals/STRAY.json",
                       base::serialize(terminal::toJson(stray)).value(), 0600, nullptr);
  platform::createFile(ctx.stateDir + "/terminals/junk.json", "{", 0600, nullptr);
  terminal::pruneTerminals(ctx.stateDir);
  auto left = platform::listDir(ctx.stateDir + "/terminals").value();
  EXPECT_EQ(6u, left.size());  // three live records and their sockets
  EXPECT_TRUE(platform::exists(outside));
}

}  // namespace
