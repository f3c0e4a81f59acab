#include "platform/files.h"
#include "platform/platform.h"
#include "platform/posix.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using cstest::Env;
using Json = nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// The launcher on a terminal the test owns, as the user's would be. Its standard error goes to a
// file, so the terminal shows only what the proxy relays.
struct PtyRun {
  PtyRun(const Env& env, const std::string& cwd, const std::string& errPath, const termios& term,
         unsigned short rows) {
    std::vector<std::string> vars;
    for (const auto& [k, v] : env) {
      vars.push_back(k + "=" + v);
    }
    std::vector<char*> envp;
    for (auto& v : vars) {
      envp.push_back(v.data());
    }
    envp.push_back(nullptr);
    std::string binary = cstest::binaryPath(), mode = "launch";
    char* argv[] = {binary.data(), mode.data(), nullptr};
    winsize size{rows, 80, 0, 0};
    int m = -1, s = -1;
    pid = platform::forkPtyKeepingSlave(&m, &s, &term, &size);
    if (pid == 0) {
      int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (::dup2(err, 2) == 2 && ::chdir(cwd.c_str()) == 0) {
        ::execve(argv[0], argv, envp.data());
      }
      ::_exit(127);
    }
    master.reset(m);
    slave.reset(s);
    ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
  }
  ~PtyRun() {
    if (!wait(0ms)) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  // Reads until the output after `from` holds `needle` and returns the offset past it; with an
  // empty needle, until the terminal has ended. nullopt at the deadline.
  std::optional<size_t> read(std::string_view needle, size_t from = 0,
                             std::chrono::milliseconds timeout = 5s) {
    char buf[65536];
    for (auto deadline = Clock::now() + timeout; Clock::now() < deadline;) {
      size_t at = needle.empty() ? std::string::npos : out.find(needle, from);
      if (at != std::string::npos) {
        return at + needle.size();
      }
      ssize_t n = ::read(master.get(), buf, sizeof(buf));
      if (n > 0) {
        out.append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EAGAIN || (slave && wait(0ms))) {
        // Linux reports EIO once every slave is closed; where we hold one, the reap is the end.
        while (slave && (n = ::read(master.get(), buf, sizeof(buf))) > 0) {
          out.append(buf, static_cast<size_t>(n));
        }
        return needle.empty() ? std::optional<size_t>(out.size()) : std::nullopt;
      } else {
        pollfd pfd{master.get(), POLLIN, 0};
        ::poll(&pfd, 1, 20);
      }
    }
    return std::nullopt;
  }
  // Exit status, or 128 + signal; nullopt if it did not end in time.
  std::optional<int> wait(std::chrono::milliseconds timeout = 5s) {
    for (auto deadline = Clock::now() + timeout; !status; std::this_thread::sleep_for(2ms)) {
      int st = 0;
      if (::waitpid(pid, &st, WNOHANG) == pid) {
        status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      } else if (Clock::now() >= deadline) {
        break;
      }
    }
    return status;
  }
  termios attrs() const {
    termios t{};
    ::tcgetattr(master.get(), &t);
    return t;
  }
  bool type(std::string_view bytes) {
    return platform::writeAll(master.get(), bytes.data(), bytes.size());
  }

  pid_t pid = -1;
  std::optional<int> status;
  platform::UniqueFd master, slave;
  std::string out;
};

bool sameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof(a.c_cc)) == 0;
}

// A fresh terminal's settings with two changed, so that a "restore" to defaults shows.
termios userSettings() {
  termios t{};
  platform::UniqueFd master{::posix_openpt(O_RDWR | O_NOCTTY)};
  if (master && ::grantpt(master.get()) == 0 && ::unlockpt(master.get()) == 0) {
    platform::UniqueFd slave{::open(::ptsname(master.get()), O_RDWR | O_NOCTTY)};
    ::tcgetattr(slave.get(), &t);
  }
  t.c_cc[VERASE] = 0x08;
  t.c_lflag &= ~static_cast<tcflag_t>(ECHOK);
  return t;
}

// Big payloads make gtest's diff useless; this says where they part.
std::string difference(const std::string& want, const std::string& got) {
  size_t i = 0;
  while (i < want.size() && i < got.size() && want[i] == got[i]) {
    ++i;
  }
  return "want " + std::to_string(want.size()) + " bytes, got " + std::to_string(got.size()) +
         ", first difference at " + std::to_string(i);
}

bool inject(const std::string& path, std::string_view bytes, platform::UniqueFd* keep = nullptr) {
  sockaddr_un addr{};
  platform::UniqueFd fd{::socket(AF_UNIX, SOCK_STREAM, 0)};
  bool ok = platform::makeUnixAddress(path, &addr) &&
            ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
            platform::writeAll(fd.get(), bytes.data(), bytes.size());
  if (keep != nullptr) {
    *keep = std::move(fd);
  }
  return ok;
}

void writeFile(const std::string& path, const std::string& text) {
  std::string err;
  ASSERT_TRUE(platform::replaceFile(path, text, 0600, &err)) << err;
}

class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!platform::exists("/dev/ptmx")) {
      GTEST_SKIP() << "no pty";
    }
    ::signal(SIGPIPE, SIG_IGN);  // a refused inject client must fail a check, not end the test
    fs::create_directories(home / "bin");
    fs::copy_file(CS_TESTS_DIR "/stubs/claude", home / "bin/claude");
    fs::permissions(home / "bin/claude", fs::perms::owner_all);
    fs::create_directories(home / "proj");
    proj = platform::resolvePath(home / "proj");
    env = {{"HOME", home.path()},
           {"PATH", home / "bin" + ":/usr/bin:/bin"},
           {"STUB_RECORD", home / "rec"}};
  }
  std::unique_ptr<PtyRun> onPty(const Env& e, unsigned short rows = 24) {
    return std::make_unique<PtyRun>(e, proj, home / "err", before, rows);
  }
  // Launch on pipes, with the stub ending at once.
  std::unique_ptr<cstest::Child> launch(std::vector<std::string> args, Env e = {}) {
    e.insert(env.begin(), env.end());
    e.emplace("STUB_RUN", "exit 0");
    args.insert(args.begin(), {cstest::binaryPath(), "launch"});
    auto child = cstest::Child::spawn(args, e, proj);
    child->closeInput();
    EXPECT_EQ(0, child->wait(10s));
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
    auto args = recordedArgs();
    Json config = args.size() > 2 && args[2].rfind("--mcp-config=", 0) == 0
                      ? Json::parse(args[2].substr(13), nullptr, false)
                      : Json();
    return config.contains("mcpServers") ? config["mcpServers"]["corvane"] : Json::object();
  }
  std::string injectPath() { return recordedServer()["env"].value("CV_INJECT_SOCK", ""); }
  bool capturedAtLeast(off_t n, std::chrono::milliseconds timeout) {
    struct stat st {};
    for (auto deadline = Clock::now() + timeout; Clock::now() < deadline;) {
      if (::stat((home / "rec.in").c_str(), &st) == 0 && st.st_size >= n) {
        return true;
      }
      std::this_thread::sleep_for(2ms);
    }
    return false;
  }

  cstest::TempHome home;
  std::string proj;
  Env env;
  termios before = userSettings();
};

TEST_F(LaunchTest, RawWhileRunningBytesExactRestoredAfter) {
  auto run = onPty(env);
  ASSERT_TRUE(run->read("stub ready"));
  termios raw = run->attrs();
  EXPECT_EQ(0u, raw.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
  EXPECT_EQ(0u, raw.c_iflag & (ICRNL | IXON));
  EXPECT_EQ(0u, raw.c_oflag & OPOST);
  std::string sock = injectPath();
  struct stat st {};
  ASSERT_EQ(0, ::lstat(sock.c_str(), &st)) << sock;
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(0600u, st.st_mode & 0777);

  std::string all256, big;
  for (int i = 0; i < 65536; ++i) {
    (i < 256 ? all256 : big) += static_cast<char>(i * 7 + 3);
  }
  enum Via { TYPED, INJECTED, TWO_CLIENTS };
  struct Case {
    Via via;
    std::string bytes;
  } cases[] = {{TYPED, "hello\r"},
               {INJECTED, "hello\r"},
               {TYPED, all256},
               {INJECTED, all256},
               {TYPED, big},
               {INJECTED, big},
               {TWO_CLIENTS, "first-a first-b " + big}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.via) + ": " + std::to_string(c.bytes.size()) + " bytes");
    platform::removeFile(home / "rec.in");
    size_t from = run->out.size();
    run->type("capture " + std::to_string(c.bytes.size()) + "\n");
    auto at = run->read("capturing", from);
    ASSERT_TRUE(at);
    if (c.via == TYPED) {
      ASSERT_TRUE(run->type(c.bytes));
    } else if (c.via == INJECTED) {
      ASSERT_TRUE(inject(sock, c.bytes));
    } else {
      // The second sends everything while the first is being served and still open.
      platform::UniqueFd first;
      ASSERT_TRUE(inject(sock, "first-a ", &first));
      ASSERT_TRUE(capturedAtLeast(8, 5s));
      ASSERT_TRUE(inject(sock, big));
      EXPECT_FALSE(capturedAtLeast(9, 200ms)) << "the second client was served at once";
      ASSERT_TRUE(platform::writeAll(first.get(), "first-b ", 8));
    }
    ASSERT_TRUE(run->read("captured", *at, 10s));
    std::string got = platform::readFile(home / "rec.in").value_or("");
    EXPECT_TRUE(got == c.bytes) << difference(c.bytes, got);
  }
  run->type("exit 0\n");
  ASSERT_TRUE(run->read(""));
  EXPECT_EQ(0, run->wait());
  EXPECT_TRUE(sameSettings(before, run->attrs()));
  EXPECT_FALSE(platform::exists(sock));
}

TEST_F(LaunchTest, StopSignalRestoresTerminalRemovesSocketEndsBySignal) {
  for (int sig : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    auto run = onPty(env);
    ASSERT_TRUE(run->read("stub ready"));
    std::string sock = injectPath();
    ASSERT_TRUE(platform::exists(sock));
    ASSERT_FALSE(sameSettings(before, run->attrs()));
    ::kill(run->pid, sig);
    EXPECT_EQ(128 + sig, run->wait());
    EXPECT_TRUE(sameSettings(before, run->attrs()));
    EXPECT_FALSE(platform::exists(sock));
  }
}

TEST_F(LaunchTest, WindowSizeFollowsResize) {
  auto run = onPty(env, 24);
  ASSERT_TRUE(run->read("stub ready"));
  run->type("size\n");
  EXPECT_TRUE(run->read("24 80\r\n"));
  winsize bigger{50, 132, 0, 0};
  ASSERT_EQ(0, ::ioctl(run->master.get(), TIOCSWINSZ, &bigger));
  ::kill(run->pid, SIGWINCH);
  run->type("size\n");
  EXPECT_TRUE(run->read("50 132\r\n"));
}

TEST_F(LaunchTest, EverythingTheChildPrintsReachesTheTerminal) {
  auto seq = [](int n) {
    std::string out;
    for (int i = 1; i <= n; ++i) {
      out += std::to_string(i) + "\r\n";
    }
    return out;
  };
  struct Case {
    const char* stubRun;
    std::string path, want;
    int runs;
  } cases[] = {
      {"seq 1 100000; exit 0", env["PATH"], seq(100000), 3},
      {"seq 1 3000; exit 0", env["PATH"], seq(3000), 200},
      {"printf last-words; exit 3", env["PATH"], "last-words", 3},
      {"", home / "nobin", "corvane-run: execvp claude: No such file or directory\r\n", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stubRun);
    Env e = {{"HOME", home.path()}, {"PATH", c.path}, {"STUB_RUN", c.stubRun}};
    for (int i = 0; i < c.runs && !HasFailure(); ++i) {
      auto run = onPty(e);
      ASSERT_TRUE(run->read("", 0, 10s));
      EXPECT_EQ(0, run->wait());
      EXPECT_TRUE(run->out == c.want) << "run " << i << ": " << difference(c.want, run->out);
    }
  }
}

TEST_F(LaunchTest, ConfigIsOneArgumentAndTokenStaysOutOfArgv) {
  struct Case {
    std::optional<std::string> token, port;
  } cases[] = {{std::nullopt, std::nullopt}, {"preset-token-7f3a", "8123"}, {"", std::nullopt}};
  std::string binary = platform::resolvePath(cstest::binaryPath());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.token.value_or("(generated)"));
    Env e;
    if (c.token) {
      e["CV_CHANNEL_TOKEN"] = *c.token;
    }
    if (c.port) {
      e["CV_CHANNEL_PORT"] = *c.port;
    }
    auto child = launch({"fix the failing test", "--take", "-p", "x y"}, e);
    EXPECT_EQ(
        "corvane-run → claude + canal (projeto: proj)\n"
        "  responda '1' na confirmação do canal de desenvolvimento · não use Ctrl-Z\n",
        child->readAllErr());
    auto args = recordedArgs();
    ASSERT_EQ(6u, args.size());
    args.erase(args.begin() + 2);
    EXPECT_EQ((std::vector<std::string>{"--dangerously-load-development-channels", "server:corvane",
                                        "fix the failing test", "-p", "x y"}),
              args);
    Json server = recordedServer();
    std::string instance = server["env"].value("CV_INSTANCE", "");
    ASSERT_EQ(36u, instance.size());
    Json wantEnv = {{"CV_LAUNCH_CWD", proj},
                    {"CV_INSTANCE", instance},
                    {"CV_INJECT_SOCK", home / ".corvane/inject-" + instance.substr(0, 8) + ".sock"},
                    {"CV_LAUNCHER_PID", std::to_string(child->pid())},
                    {"CV_CHANNEL_TOKEN", "${CV_CHANNEL_TOKEN}"}};
    if (c.port) {
      wantEnv["CV_CHANNEL_PORT"] = *c.port;
    }
    EXPECT_EQ((Json{{"command", binary}, {"args", Json::array()}, {"env", wantEnv}}), server);

    std::string claudeEnv = platform::readFile(home / "rec.env").value_or("");
    size_t at = claudeEnv.find("CV_CHANNEL_TOKEN=");
    ASSERT_NE(std::string::npos, at) << claudeEnv;
    std::string token = claudeEnv.substr(at + 17, claudeEnv.find('\n', at) - at - 17);
    if (c.token) {
      EXPECT_EQ(*c.token, token);
    } else {
      EXPECT_EQ(64u, token.size());
    }
    EXPECT_EQ(std::string::npos, claudeEnv.find("CV_INSTANCE="));  // the launcher's own env stays
    if (!token.empty()) {
      EXPECT_EQ(std::string::npos, platform::readFile(home / "rec.argv")->find(token));
    }
  }
}

TEST_F(LaunchTest, InputAtEndOfFileIsNoLongerWatched) {
  rusage start{}, end{};
  ::getrusage(RUSAGE_CHILDREN, &start);
  launch({}, {{"STUB_RUN", "sleep 0.4; exit 0"}});
  ::getrusage(RUSAGE_CHILDREN, &end);
  auto ms = [](const rusage& r) {
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000 +
           (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000;
  };
  EXPECT_LT(ms(end) - ms(start), 200) << "a busy loop on a closed input burns the whole 400 ms";
}

TEST_F(LaunchTest, ReportsSessionsOfThisFolderAndTakeEndsOnlyThose) {
  // Stand-ins for sessions' processes; their shell reaps each one the moment it ends, so that a
  // signal-0 probe sees it gone.
  auto shell = cstest::Child::spawn(
      {"/bin/sh", "-c", "for i in 1 2 3 4; do sleep 30 & echo $!; done; wait"}, env);
  pid_t launcher = 0, server = 0, elsewhere = 0, slashed = 0;
  for (pid_t* p : {&launcher, &server, &elsewhere, &slashed}) {
    *p = std::stoi(shell->readLine().value_or("0"));
  }
  auto endsWithin = [](pid_t pid, std::chrono::milliseconds timeout) {
    for (auto deadline = Clock::now() + timeout; Clock::now() < deadline;) {
      if (!platform::processAlive(pid)) {
        return true;
      }
      std::this_thread::sleep_for(2ms);
    }
    return !platform::processAlive(pid);
  };
  std::string dir = home / ".corvane/sessions", oldSock = home / ".corvane/inject-0LD00000.sock";
  fs::create_directories(dir);
  writeFile(oldSock, "");
  auto record = [&](const char* name, const Json& r) { writeFile(dir + "/" + name, r.dump()); };
  record("here.json",
         {{"pid", server}, {"launcherPid", launcher}, {"cwd", proj}, {"inject", oldSock}});
  record("here-too.json", {{"pid", ::getpid()}, {"launcherPid", 0}, {"cwd", proj}});
  record("other.json", {{"pid", elsewhere}, {"cwd", home / "other"}});
  record("slash.json", {{"pid", slashed}, {"cwd", proj + "/"}});

  EXPECT_EQ(0u, launch({})->readAllErr().find(
                    "ℹ️  Já existe sessão-canal nesta pasta (2).\n"
                    "   Subindo mais uma — cada uma tem porta e socket próprios.\n"
                    "   Use 'corvane-run --take' se a intenção era substituir a que está aberta.\n"
                    "corvane-run → claude + canal (projeto: proj)\n"));
  EXPECT_FALSE(endsWithin(server, 0ms));

  fs::remove(dir + "/here-too.json");  // the test's own pid must not receive --take's SIGTERM
  EXPECT_EQ(
      0u,
      launch({"--take"})->readAllErr().find("→ --take: encerrando 1 sessão(ões) desta pasta…\n"));
  EXPECT_TRUE(endsWithin(launcher, 2s));
  EXPECT_TRUE(endsWithin(server, 2s));
  EXPECT_FALSE(endsWithin(elsewhere, 0ms));
  EXPECT_FALSE(endsWithin(slashed, 0ms));
  EXPECT_FALSE(platform::exists(dir + "/here.json"));
  EXPECT_FALSE(platform::exists(oldSock));
  EXPECT_TRUE(platform::exists(dir + "/other.json"));
  EXPECT_TRUE(platform::exists(dir + "/slash.json"));
  for (pid_t pid : {launcher, server, elsewhere, slashed}) {
    ::kill(pid, SIGKILL);
  }
}

TEST_F(LaunchTest, FolderThatCannotBeWrittenAsJsonIsRefused) {
  proj = home / "bad\xff";
  if (::mkdir(proj.c_str(), 0700) != 0) {
    GTEST_SKIP() << "this file system refuses non-UTF-8 names";
  }
  auto child = cstest::Child::spawn({cstest::binaryPath(), "launch"}, env, proj);
  EXPECT_EQ(1, child->wait(10s));
  EXPECT_EQ("falha ao montar --mcp-config\n", child->readAllErr());
  EXPECT_FALSE(platform::exists(home / "rec.argv"));
}

}  // namespace
