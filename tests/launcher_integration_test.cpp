#include "platform/files.h"
#include "platform/posix.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <tuple>
#include <unistd.h>

namespace {

using cstest::Env;
using Json = nlohmann::json;
using namespace std::chrono_literals;

// The launcher on a terminal the test owns, as the user's would be. Its standard error is dropped,
// so the terminal shows only what the proxy relays; SIGPIPE is ignored, as a server's child has it.
struct PtyRun : cstest::Pty {
  PtyRun(const Env& env, const std::string& cwd, const termios& term)
      : Pty({"/bin/sh", "-c", "trap '' PIPE; cd \"$0\" && exec \"$1\" launch 2>/dev/null", cwd,
             cstest::binaryPath()},
            env, &term) {}
};

termios settings(int fd) {
  termios t{};
  ::tcgetattr(fd, &t);
  return t;
}

bool sameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof(a.c_cc)) == 0;
}

// A client of the inject socket that has written `bytes`; none if that failed.
platform::UniqueFd inject(const std::string& path, std::string_view bytes) {
  platform::UniqueFd fd = testkit::connectUnix(path);
  return fd && testkit::sendAll(fd.get(), bytes) ? std::move(fd) : platform::UniqueFd();
}

class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!platform::exists("/dev/ptmx")) {
      GTEST_SKIP() << "no pty";
    }
    ::signal(SIGPIPE, SIG_IGN);  // a refused inject client must fail a check, not end the test
    platform::makeDirs(home / "proj");
    proj = platform::resolvePath(home / "proj");
  }
  // Launch on pipes, with the stub ending at once.
  std::unique_ptr<cstest::Child> launch(std::vector<std::string> args, Env e = {}, int status = 0) {
    e.insert(env.begin(), env.end());
    e.emplace("STUB_RUN", "printf 'a\\r\\nb'; exit 0");
    args.insert(args.begin(), {cstest::binaryPath(), "launch"});
    auto child = cstest::Child::spawn(args, e, {testkit::Err::Keep, {}, proj});
    child->closeInput();
    EXPECT_EQ(status, child->wait(10s));
    return child;
  }
  std::vector<std::string> recordedArgs() {
    std::string raw = platform::readFile(home / "rec.argv").value_or("");
    std::vector<std::string> args;
    for (size_t at = 0, nul; (nul = raw.find('\0', at)) != std::string::npos; at = nul + 1) {
      args.push_back(raw.substr(at, nul - at));
    }
    return args;
  }
  // The "corvane" entry of the configuration claude was given.
  Json recordedServer() {
    std::string arg = recordedArgs().at(2);
    EXPECT_EQ("--mcp-config=", arg.substr(0, 13));
    return Json::parse(arg.substr(13)).at("mcpServers").at("corvane");
  }

  cstest::TempHome home;
  std::string proj;
  Env env{{"HOME", home.path()},
          {"PATH", CS_TESTS_DIR "/stubs:/usr/bin:/bin"},
          {"STUB_RECORD", home / "rec"}};
  termios before = [] {  // a fresh terminal's, with two changed so that a reset to defaults shows
    termios t = settings(platform::UniqueFd{::posix_openpt(O_RDWR | O_NOCTTY)}.get());
    t.c_cc[VERASE] = 0x08;
    t.c_lflag &= ~static_cast<tcflag_t>(ECHOK);
    return t;
  }();
};

TEST_F(LaunchTest, RawWhileRunningRestoredAtEveryEnd) {
  std::string bytes;  // every byte value, more than a terminal or socket buffer takes at once
  for (int i = 0; i < 65536; ++i) {
    bytes += static_cast<char>(i * 7 + 3);
  }
  // claude says which end the launcher passed on to it.
  Env traps = env;
  traps["STUB_RUN"] =
      "for s in TERM HUP INT QUIT; do trap \"echo $s >$STUB_RECORD.sig; exit 0\" $s; done";
  for (int sig : {0, SIGTERM, SIGHUP, SIGINT, SIGQUIT}) {  // 0: claude exits
    SCOPED_TRACE(sig);
    platform::removeFile(home / "rec.sig");
    PtyRun run(traps, proj, before);
    ASSERT_TRUE(run.read("stub ready"));
    termios raw = settings(run.pty.master.get());
    EXPECT_EQ(0u, (raw.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) | (raw.c_iflag & (ICRNL | IXON)) |
                      (raw.c_oflag & OPOST));
    std::string sock = recordedServer()["env"].value("CV_INJECT_SOCK", "");
    EXPECT_EQ(S_IFSOCK | 0600u, cstest::modeOf(sock)) << sock;

    EXPECT_TRUE(run.ask("size\n", "24 80\r\n"));
    winsize bigger{50, 132, 0, 0};
    ASSERT_EQ(0, ::ioctl(run.pty.master.get(), TIOCSWINSZ, &bigger));
    EXPECT_TRUE(run.ask("size\n", "50 132\r\n"));

    for (int via = 0; sig == 0 && via < 3; ++via) {  // typed, injected, two inject clients
      SCOPED_TRACE(via);
      std::string want = via < 2 ? bytes : "first-a first-b second";
      ASSERT_TRUE(run.ask("capture " + std::to_string(want.size()) + "\n", "capturing"));
      platform::UniqueFd first;  // the second client waits until the first has closed
      bool sent = via == 0   ? run.type(bytes)
                  : via == 1 ? !!inject(sock, bytes)
                             : (first = inject(sock, "first-a ")) && inject(sock, "second") &&
                                   platform::writeAll(first.get(), "first-b ", 8);
      first.reset();
      ASSERT_TRUE(sent);
      ASSERT_TRUE(run.read("captured", 10s));
      std::string got = platform::readFile(home / "rec.in").value_or("");
      EXPECT_TRUE(got == want) << got.size() << " of " << want.size() << " bytes";
    }
    ASSERT_TRUE(sig == 0 ? run.type("exit 0\n") : ::kill(run.pty.pid, sig) == 0);
    EXPECT_EQ(sig == 0 ? 0 : 128 + sig, run.wait());
    EXPECT_TRUE(sameSettings(before, settings(run.pty.master.get())));
    EXPECT_FALSE(platform::exists(sock));
    std::string passed = platform::readFile(home / "rec.sig").value_or("");
    EXPECT_EQ(sig == 0 ? "" : sig == SIGHUP ? "HUP\n" : "TERM\n", passed);
  }
}

TEST_F(LaunchTest, AnotherUsersBytesNeverReachClaude) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to connect as another user";
  }
  PtyRun run(env, proj, before);
  ASSERT_TRUE(run.read("stub ready"));
  std::string sock = recordedServer()["env"].value("CV_INJECT_SOCK", "");
  for (const std::string& path : {home.path(), home / ".corvane", sock}) {
    ASSERT_EQ(0, ::chmod(path.c_str(), 0777));  // so that only the peer check stands in the way
  }
  ASSERT_TRUE(run.ask("capture 6\n", "capturing"));
  pid_t intruder = ::fork();
  if (intruder == 0) {  // connected, whether or not the proxy has closed before the write
    ::_exit(::setuid(65534) == 0 && (inject(sock, "intruder") || errno == EPIPE) ? 0 : 1);
  }
  int status = -1;
  EXPECT_TRUE(::waitpid(intruder, &status, 0) == intruder && status == 0) << status;
  ASSERT_TRUE(inject(sock, "friend"));
  ASSERT_TRUE(run.read("captured"));
  EXPECT_EQ("friend", platform::readFile(home / "rec.in"));
}

TEST_F(LaunchTest, EverythingTheChildPrintsReachesTheTerminal) {
  auto seq = [](int n) {
    std::string out;
    for (int i = 1; i <= n; ++i) {
      out += std::to_string(i) + "\r\n";
    }
    return out;
  };
  // STUB_RUN, PATH, what the terminal shows, how many runs, the launcher's status
  using Case = std::tuple<std::string, std::string, std::string, int, int>;
  for (const auto& [stubRun, path, want, runs, status] : {
           Case{"seq 1 100000; exit 0", env["PATH"], seq(100000), 3, 0},
           // Many runs to meet the end-of-output race; a sanitizer sees the code's races in fewer.
           Case{"seq 1 3000; exit 0", env["PATH"], seq(3000), cstest::SANITIZED ? 20 : 200, 0},
           Case{"printf last-words; exit 3", env["PATH"], "last-words", 3, 3},
           Case{"", home / "nobin", "", 3, 127},  // the reason goes to standard error
           // SIGPIPE (and SIGTERM, which the launcher blocks around its fork) neither blocked nor
           // ignored in claude, though the launcher runs with SIGPIPE ignored: the hex digit of
           // signals 13-16 in both masks.
           Case{"grep -E '^Sig(Blk|Ign):' /proc/self/status | cut -c21; exit 0", env["PATH"],
                "0\r\n0\r\n", platform::exists("/proc/self/status") ? 1 : 0, 0},
       }) {
    SCOPED_TRACE(stubRun);
    for (int i = 0; i < runs && !HasFailure(); ++i) {
      PtyRun run({{"HOME", home.path()}, {"PATH", path}, {"STUB_RUN", stubRun}}, proj, before);
      ASSERT_TRUE(run.read("", 10s));
      EXPECT_EQ(status, run.wait());
      EXPECT_TRUE(run.out == want) << "run " << i << ": " << run.out.size() << " bytes"
                                   << (run.out.size() < 200 ? ": " + run.out : "");
    }
  }
}

TEST_F(LaunchTest, ConfigIsOneArgumentAndTokenStaysOutOfArgv) {
  std::string binary = platform::resolvePath(cstest::binaryPath());
  for (const Env& given :
       {Env{}, Env{{"CV_CHANNEL_TOKEN", "preset-7f3a"}, {"CV_CHANNEL_PORT", "8123"}},
        Env{{"CV_CHANNEL_TOKEN", ""}}}) {
    SCOPED_TRACE(Json(given).dump());
    // Output on a pipe: claude runs without the proxy, its bytes untouched, and without banner.
    auto child =
        launch({"fix the failing test", "--take", "-p", "x y"}, Env{given.begin(), given.end()});
    EXPECT_EQ("", child->readAllErr());
    EXPECT_EQ("a\r\nb", child->readOutFor(100ms));
    auto args = recordedArgs();
    EXPECT_EQ((std::vector<std::string>{"--dangerously-load-development-channels", "server:corvane",
                                        args.at(2), "fix the failing test", "-p", "x y"}),
              args);
    Json server = recordedServer();
    std::string instance = server["env"].value("CV_INSTANCE", "");
    ASSERT_EQ(36u, instance.size());
    // The port as given, the token by reference only.
    Json want = {{"command", binary}, {"args", Json::array()}, {"env", given}};
    want["env"].update({{"CV_LAUNCH_CWD", proj},
                        {"CV_INSTANCE", instance},
                        {"CV_LAUNCHER_PID", std::to_string(child->pid())},
                        {"CV_CHANNEL_TOKEN", "${CV_CHANNEL_TOKEN}"}});
    // The tools come from a second server, whose readiness cannot delay the channel's.
    Json tools = {{"command", binary}, {"args", Json::array()}, {"env", {{"CV_TOOLS_ONLY", "1"}}}};
    EXPECT_EQ((Json{{"corvane", want}, {"corvane-tools", tools}}),
              Json::parse(recordedArgs().at(2).substr(13)).at("mcpServers"));

    std::string claudeEnv = platform::readFile(home / "rec.env").value_or("");
    size_t at = claudeEnv.find("CV_CHANNEL_TOKEN=");
    ASSERT_NE(std::string::npos, at) << claudeEnv;
    std::string token = claudeEnv.substr(at + 17, claudeEnv.find('\n', at) - at - 17);
    auto preset = given.find("CV_CHANNEL_TOKEN");
    EXPECT_TRUE(preset == given.end() ? token.size() == 64 : token == preset->second) << token;
    EXPECT_EQ(std::string::npos, claudeEnv.find("CV_INSTANCE="));  // the launcher's own env stays
    EXPECT_TRUE(token.empty() ||
                platform::readFile(home / "rec.argv")->find(token) == std::string::npos);
  }
}

// A CPU-time bound means nothing in a sanitized build; the bench measures the idle proxy.
TEST_F(LaunchTest, InputAtEndOfFileIsNoLongerWatched) {
  if (cstest::SANITIZED) {
    GTEST_SKIP() << "sanitized build";
  }
  rusage start{}, end{};
  ::getrusage(RUSAGE_CHILDREN, &start);
  launch({}, {{"STUB_RUN", "sleep 0.4; exit 0"}});
  ::getrusage(RUSAGE_CHILDREN, &end);
  auto ms = [](const timeval& t) { return t.tv_sec * 1000 + t.tv_usec / 1000; };
  EXPECT_LT(ms(end.ru_utime) + ms(end.ru_stime) - ms(start.ru_utime) - ms(start.ru_stime), 200)
      << "a busy loop on a closed input burns the whole 400 ms";
}

TEST_F(LaunchTest, ReportsSessionsOfThisFolderAndTakeEndsOnlyThose) {
  // Stand-ins for sessions' processes: this same executable, parked as a tools-only server while
  // its input stays open.
  std::unique_ptr<cstest::Child> server, owner, again, elsewhere, slashed, stale;
  for (auto* child : {&server, &owner, &again, &elsewhere, &slashed, &stale}) {
    *child = cstest::toolsOnly(home.path(), {}, true);
  }
  // A launcher whose pid another program has since been given.
  auto reused = cstest::Child::spawn({"/bin/sleep", "30"}, env);
  long long now = platform::nowSeconds();
  std::string dir = home / ".corvane/sessions", oldSock = home / ".corvane/inject-0LD00000.sock";
  platform::makeDirs(dir);
  ASSERT_TRUE(testkit::listenUnix(oldSock));  // the socket file stays
  auto put = [&](const char* name, Json record) {
    record.emplace("cwd", proj);  // a field given stays
    record.emplace("startedAt", now);
    std::ofstream(dir + "/" + name) << record;
  };
  put("here-too.json", {{"pid", again->pid()}});
  put("other.json", {{"pid", elsewhere->pid()}, {"cwd", home / "other"}});
  put("slash.json", {{"pid", slashed->pid()}, {"cwd", proj + "/"}});
  put("stale.json", {{"pid", stale->pid()}, {"startedAt", now - 3600}});  // a later run's pid
  put("here.json", {{"pid", server->pid()}, {"launcherPid", owner->pid()}, {"inject", oldSock}});
  put("reused.json", {{"pid", again->pid()}, {"launcherPid", reused->pid()}});

  EXPECT_EQ(0u,
            launch({})->readAllErr().find(
                "ℹ️  Já existe sessão-canal nesta pasta (3).\n"
                "   Subindo mais uma — cada uma tem porta e socket próprios.\n"
                "   Use 'corvane-run --take' se a intenção era substituir a que está aberta.\n"));
  EXPECT_FALSE(server->wait(0ms).has_value());

  std::string took = launch({"--take"})->readAllErr();
  EXPECT_EQ(0u, took.find("→ --take: encerrando 3 sessão(ões) desta pasta…\n")) << took;
  // Gone before claude started. A process that has let go of its memory no longer counts as
  // running, though the kernel may not yet have made it a child to reap: a moment is allowed.
  for (auto* child : {&server, &owner, &again}) {
    EXPECT_EQ(128 + SIGTERM, (*child)->wait(1s));
  }
  for (auto* child : {&reused, &elsewhere, &slashed, &stale}) {
    EXPECT_FALSE((*child)->wait(0ms).has_value());
  }
  EXPECT_FALSE(platform::exists(dir + "/here.json") || platform::exists(oldSock) ||
               platform::exists(dir + "/stale.json"));
  EXPECT_TRUE(platform::exists(dir + "/other.json") && platform::exists(dir + "/slash.json"));
}

TEST_F(LaunchTest, DeepHomeStillGetsTheInjectSocketItsConfigurationNames) {
  std::string deep = home / std::string(90, 'h');
  platform::makeDirs(deep);
  platform::makeDirs(home / "run");
  // The companion's socket moves there too; only the inject socket is looked for.
  const std::string listSockets =  // then exits with a status of its own
      R"(for s in "$XDG_RUNTIME_DIR"/corvane/inject-*; do [ -S "$s" ] && )"
      R"(printf %s "$s" >>"$STUB_RECORD.sock"; done; exit 3)";
  Env e = env;
  e.insert_or_assign("HOME", deep);
  e.emplace("XDG_RUNTIME_DIR", home / "run");
  e.emplace("STUB_RUN", listSockets);
  PtyRun run(e, proj, before);
  EXPECT_EQ(3, run.wait());
  std::string named = recordedServer()["env"].value("CV_INJECT_SOCK", "");
  EXPECT_EQ(home / "run/corvane/", named.substr(0, named.rfind('/') + 1));
  EXPECT_EQ(named, platform::readFile(home / "rec.sock"));
}

TEST_F(LaunchTest, StartFailuresSayWhyAndLeaveNothing) {
  EXPECT_EQ("✗ claude não está no PATH: instale o Claude Code ou ajuste o PATH.\n",
            launch({}, {{"PATH", home / "nobin"}}, 127)->readAllErr());
  EXPECT_FALSE(platform::exists(home / ".corvane/sessions"));
  proj = home / "bad\xff";
  if (::mkdir(proj.c_str(), 0700) != 0) {
    GTEST_SKIP() << "this file system refuses non-UTF-8 names";
  }
  EXPECT_EQ("✗ não consegui montar a configuração --mcp-config do claude\n",
            launch({}, {}, 1)->readAllErr());
  EXPECT_FALSE(platform::exists(home / "rec.argv"));
}

// claude stopping itself (Ctrl-Z) stops the proxy too, with the terminal as it was; `fg` brings
// both back, the terminal raw again. bash runs the launcher as a job, as the user's shell does.
TEST_F(LaunchTest, CtrlZHandsTheTerminalToTheShellAndFgBringsClaudeBack) {
  if (::access("/bin/bash", X_OK) != 0) {
    GTEST_SKIP() << "no bash";
  }
  cstest::Pty run({"/bin/bash", "-c",
                   "set -m; cd \"$0\" && \"$1\" launch 2>/dev/null; echo \"[parou $?]\"; read -r "
                   "_; fg >/dev/null;"
                   " echo \"[fim $?]\"",
                   proj, cstest::binaryPath()},
                  env, &before);
  ASSERT_TRUE(run.read("stub ready"));
  ASSERT_TRUE(run.ask("stop\r", "[parou " + std::to_string(128 + SIGTSTP) + "]"));
  termios stopped = settings(run.pty.master.get());
  EXPECT_EQ(ICANON | ECHO | ISIG, stopped.c_lflag & (ICANON | ECHO | ISIG));
  winsize bigger{40, 100, 0, 0};
  ASSERT_EQ(0, ::ioctl(run.pty.master.get(), TIOCSWINSZ, &bigger));  // resized while stopped
  ASSERT_TRUE(run.type("\r"));                                       // the shell's fg
  EXPECT_TRUE(run.ask("size\r", "40 100\r\n"));
  EXPECT_EQ(0u, settings(run.pty.master.get()).c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_TRUE(run.ask("exit 3\r", "[fim 3]"));
  EXPECT_EQ(0, run.wait());
}

}  // namespace
