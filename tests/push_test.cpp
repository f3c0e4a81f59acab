#include "client/pick.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <tuple>

namespace {

using client::Json;
using Names = std::vector<std::string>;
using cstest::TOKEN;
using namespace std::chrono_literals;

TEST(Push, WhichSessionsTheArgumentsName) {
  std::vector<Json> live = {
      {{"name", "api"}, {"instance", "AB12-0001"}, {"cwd", "/w/api"}},
      {{"name", "api"}, {"instance", "CD34-0002"}, {"cwd", "/w/other/api"}},
      {{"name", "web"}, {"instance", "AB99-0003"}, {"cwd", "/w/web"}},
      {{"name", 7}, {"cwd", 7}},
  };
  const std::tuple<std::optional<std::string>, std::string, std::string, Names> cases[] = {
      {std::nullopt, "", "/w/web", {"AB99-0003"}},       {std::nullopt, "", "/w", {}},
      {"api", "", "/w/web", {"AB12-0001", "CD34-0002"}},  // several: the user picks
      {"ab", "", "/w/web", {"AB12-0001", "AB99-0003"}},  {"cd34-", "", "/w/web", {"CD34-0002"}},
      {"..", "/w/other/api", "/w/web", {"CD34-0002"}},   {"", "", "/w/web", {}},
  };
  for (const auto& [to, toFolder, cwd, want] : cases) {
    SCOPED_TRACE(to.value_or("(none)") + " in " + cwd);
    Names got;
    for (const auto& record : client::chooseSessions(live, to, toFolder, cwd)) {
      got.push_back(record["instance"]);
    }
    EXPECT_EQ(want, got);
  }
}

TEST(Push, Arguments) {
  using Verb = client::Verb;
  const std::tuple<Verb, Names, bool, Names> cases[] = {
      // parses, words
      {Verb::Push, {}, true, {}},
      {Verb::Push, {"--to", "api", "a b", "c"}, true, {"a b", "c"}},
      {Verb::Push, {"--", "-x"}, true, {"-x"}},
      {Verb::Push, {"--enter", "x"}, false, {}},
      {Verb::Push, {"--to"}, false, {}},
      {Verb::Type, {"--enter"}, false, {}},
      {Verb::Type, {"--enter", "ls", "--to"}, true, {"ls", "--to"}},
      // type: only the Enter --enter adds; push carries any text
      {Verb::Type, {"ls", "-l\nrm x"}, false, {}},
      {Verb::Type, {"--enter", "\x1b[A"}, false, {}},
      {Verb::Type, {"\xc2\x9bm"}, false, {}},
      {Verb::Push, {"a\nb\x1b"}, true, {"a\nb\x1b"}},
  };
  for (const auto& [verb, args, parses, words] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    std::string usage;
    auto opts = client::parseOptions(verb, args, &usage);
    EXPECT_EQ(parses, opts.has_value());
    EXPECT_EQ(words, opts ? opts->words : Names{});
  }
  std::string usage;
  client::parseOptions(Verb::Type, {"a\rb"}, &usage);
  EXPECT_EQ("✗ o texto tem caracteres de controle; o Enter só vai com --enter", usage);
}

class PushRun : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::makeDirs(home / "proj");
    platform::makeDirs(home / ".corvane/sessions");
    proj = platform::resolvePath(home / "proj");
    // The record's process: this same executable, parked while its input stays open.
    server = cstest::toolsOnly(home.path(), {}, true);
  }
  void record(const std::string& instance, uint16_t port, const std::string& inject = "",
              pid_t pid = 0) {
    pid = pid ? pid : server->pid();
    std::ofstream(home / ".corvane/sessions/" + instance + ".json")
        << Json{{"instance", instance}, {"port", port},    {"pid", pid},
                {"cwd", proj},          {"name", "proj"},  {"startedAt", platform::nowSeconds()},
                {"token", TOKEN},       {"inject", inject}};
  }
  std::pair<std::optional<int>, std::string> run(const Names& args, const std::string& in = "") {
    Names argv{cstest::binaryPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    auto child = cstest::Child::spawn(argv, cstest::baseEnv(home.path()),
                                      testkit::SpawnOptions(testkit::Err::Keep, {}, proj));
    EXPECT_TRUE(in.empty() || child->write(in));
    child->closeInput();
    auto status = child->wait(10s);
    return {status, child->readAllErr()};
  }
  cstest::TempHome home;
  std::string proj;
  std::unique_ptr<cstest::Child> server;
};

// A real channel server answers on the port; the record names it, or the parked process.
TEST_F(PushRun, TokenGoesOnlyToTheServerTheRecordNames) {
  cstest::TempHome otherHome;
  cstest::ChannelServer channel(otherHome);
  ASSERT_NE(0, channel.port);
  for (bool same : {false, true}) {
    SCOPED_TRACE(same);
    record("INST", channel.port, "", same ? channel.child->pid() : 0);
    auto [status, err] = run({"push", "olá", "mundo"});
    EXPECT_EQ(same ? 0 : 1, status);
    EXPECT_EQ(same
                  ? ""
                  : "✗ a porta " + std::to_string(channel.port) +
                        " não é do servidor da sessão \"proj\" (pid ou instância diferentes); nada "
                        "enviado\n",
              err);
    std::string pushed = channel.child->readOutFor(100ms);  // none with the parked process's pid
    EXPECT_EQ(same, pushed.find(R"("content":"olá mundo",)") != std::string::npos) << pushed;
  }
  EXPECT_EQ(std::string::npos, channel.child->errSoFar().find("REJEITADO"));
}

TEST_F(PushRun, SeveralSessionsAreListedAndTypeWritesToTheInjectSocket) {
  std::string sock = home / ".corvane/inject-AAAA0001.sock";
  platform::UniqueFd listener = testkit::listenUnix(sock);
  ASSERT_TRUE(listener);
  record("AAAA0001", 1, sock);
  record("BBBB0002", 1);
  auto [status, err] = run({"type", "ls"});
  EXPECT_EQ(2, status);
  EXPECT_EQ(3, std::count(err.begin(), err.end(), '\n')) << err;
  EXPECT_EQ(std::make_pair(std::optional<int>(0), std::string()),
            run({"type", "--to", "aaaa", "--enter", "ls", "-l"}));
  platform::UniqueFd conn{::accept(listener.get(), nullptr, nullptr)};
  EXPECT_EQ("ls -l\r", cstest::readToEnd(conn.get()).value_or("<none>"));
  EXPECT_EQ(1, run({"push", "--to", "bbbb", "x"}).first);  // port 1: nobody answers
}

// A channel server's stand-in on 127.0.0.1 that gives /info as the parked process's and answers
// the pushes in turn from `answers`; it counts the connections.
struct ScriptedServer {
  ScriptedServer(pid_t pid, std::vector<std::string> answers) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    listener.reset(::socket(AF_INET, SOCK_STREAM, 0));
    ::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    ::listen(listener.get(), 8);
    ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    std::string info = Json{{"pid", pid}, {"instance", "INST"}}.dump();
    answers.insert(answers.begin(), "200 OK\r\n\r\n" + info);
    thread = std::thread([this, answers] {
      for (const std::string& a : answers) {
        if (!testkit::readable(listener.get(), testkit::Clock::now() + 40s)) {
          return;
        }
        platform::UniqueFd conn{::accept(listener.get(), nullptr, nullptr)};
        testkit::readRequestLine(conn.get(), testkit::Clock::now() + 2s);
        ++connections;
        testkit::sendAll(conn.get(), "HTTP/1.1 " + a);
        // Unread request bytes at close would reset the connection under the answer.
        ::shutdown(conn.get(), SHUT_WR);
        std::string rest;
        testkit::recvAll(conn.get(), &rest, testkit::Clock::now() + 2s);
      }
    });
  }
  ~ScriptedServer() {
    ::shutdown(listener.get(), SHUT_RDWR);
    thread.join();
  }
  platform::UniqueFd listener;
  uint16_t port = 0;
  std::atomic<int> connections{0};
  std::thread thread;
};

TEST_F(PushRun, TextIsJudgedBeforeAnyConnection) {
  ScriptedServer stand(server->pid(), {});
  record("INST", stand.port);
  const std::tuple<Names, std::string, std::string> cases[] = {
      {{"push", " \t "}, "", "✗ o texto está vazio; nada enviado\n"},
      {{"push"}, "\n\n", "✗ o texto está vazio; nada enviado\n"},
      {{"push"}, std::string((1 << 20) + 1, 'x'), "✗ o texto passa de 1 MiB; nada enviado\n"},
  };
  for (const auto& [args, in, said] : cases) {
    SCOPED_TRACE(said);
    EXPECT_EQ(std::make_pair(std::optional<int>(1), said), run(args, in));
  }
  EXPECT_EQ(0, stand.connections);
}

// Retry-After is waited out; an answer without it fails at once, naming the session.
TEST_F(PushRun, WaitsForASessionThatIsNotReadyYet) {
  const std::string notReady =
      "503 Service Unavailable\r\nRetry-After: 1\r\n\r\n{\"ok\":false,\"error\":\"channel not "
      "ready\"}";
  const std::string busy =
      "503 Service Unavailable\r\n\r\n{\"ok\":false,\"error\":\"session busy\"}";
  const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
      {{notReady, "200 OK\r\n\r\n{\"ok\":true}"}, 0, ""},
      {{busy},
       1,
       "✗ a sessão \"proj\" está com a fila cheia; tente de novo em instantes; nada enviado\n"},
  };
  for (const auto& [answers, status, said] : cases) {
    SCOPED_TRACE(said);
    ScriptedServer stand(server->pid(), answers);
    record("INST", stand.port);
    auto start = testkit::Clock::now();
    EXPECT_EQ(std::make_pair(std::optional<int>(status), said), run({"push", "olá"}));
    EXPECT_EQ(status == 0, testkit::secondsSince(start) >= 1.0);
    EXPECT_EQ(static_cast<int>(answers.size()) + 1, stand.connections);
  }
}

// The name `sessions` shows for a claude session (here: this test process, whose child is the
// record's server) reaches it, as its prefix does; an unknown name says where names are.
TEST_F(PushRun, SessionNamesAsTheToolsLookThemUp) {
  platform::makeDirs(home / ".claude/sessions");
  std::ofstream(home / ".claude/sessions/" + std::to_string(::getpid()) + ".json")
      << Json{{"sessionId", "abcd1234-0000"}, {"cwd", proj}, {"startedAt", 1}};
  for (const char* name : {"proj-abcd", "proj-ab"}) {
    SCOPED_TRACE(name);
    ScriptedServer stand(server->pid(), {"200 OK\r\n\r\n{\"ok\":true}"});
    record("INST", stand.port);
    EXPECT_EQ(std::make_pair(std::optional<int>(0), std::string()),
              run({"push", "--to", name, "olá"}));
  }
  EXPECT_EQ(std::make_pair(std::optional<int>(1),
                           std::string("✗ nenhuma sessão-canal viva se chama 'zed' "
                                       "('channel-server sessions' mostra os nomes)\n")),
            run({"push", "--to", "zed", "olá"}));
}

}  // namespace
