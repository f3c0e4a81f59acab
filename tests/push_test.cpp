#include "client/pick.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

namespace {

using client::Json;
using Names = std::vector<std::string>;
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
  };
  for (const auto& [verb, args, parses, words] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    std::string usage;
    auto opts = client::parseOptions(verb, args, &usage);
    EXPECT_EQ(parses, opts.has_value());
    EXPECT_EQ(words, opts ? opts->words : Names{});
  }
}

// A stand-in channel server on 127.0.0.1: /info answers `info`, anything else {"ok":true}. It keeps
// every request it read.
class StandIn {
 public:
  explicit StandIn(std::string info) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    auto* sa = reinterpret_cast<sockaddr*>(&addr);
    EXPECT_TRUE(::bind(m_fd.get(), sa, len) == 0 && ::listen(m_fd.get(), 4) == 0 &&
                ::getsockname(m_fd.get(), sa, &len) == 0);
    port = ntohs(addr.sin_port);
    m_thread = std::jthread([this, info] {
      while (platform::UniqueFd c{::accept(m_fd.get(), nullptr, nullptr)}) {
        timeval limit{5, 0};
        ::setsockopt(c.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        std::string req;
        char buf[4096];
        for (ssize_t n = 1; n > 0;) {  // until the headers and the body Content-Length gives
          size_t end = req.find("\r\n\r\n"), cl = req.find("Content-Length: ");
          if (end != std::string::npos &&
              (cl > end || req.size() - end - 4 >= std::stoul(req.substr(cl + 16)))) {
            break;
          }
          n = ::read(c.get(), buf, sizeof(buf));
          req.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
        }
        std::string body = req.starts_with("GET /info ") ? info : R"({"ok":true})";
        std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                             "\r\nConnection: close\r\n\r\n" + body;
        platform::writeAll(c.get(), answer.data(), answer.size());
        std::lock_guard lock(m_lock);
        m_requests.push_back(req);
      }
    });
  }
  ~StandIn() { ::shutdown(m_fd.get(), SHUT_RDWR); }  // then the thread ends and is joined
  Names requests() {
    std::lock_guard lock(m_lock);
    return m_requests;
  }
  uint16_t port = 0;

 private:
  platform::UniqueFd m_fd{::socket(AF_INET, SOCK_STREAM, 0)};
  std::mutex m_lock;
  Names m_requests;
  std::jthread m_thread;
};

class PushRun : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::makeDirs(home / "proj");
    platform::makeDirs(home / ".corvane/sessions");
    proj = platform::resolvePath(home / "proj");
    // The record's process: this same executable, parked while its input stays open.
    server = cstest::Child::spawn({cstest::binaryPath()},
                                  {{"HOME", home.path()}, {"CV_TOOLS_ONLY", "1"}});
    ASSERT_TRUE(server->waitErr("só-tools"));
  }
  void record(const std::string& instance, uint16_t port, const std::string& inject = "") {
    std::ofstream(home / ".corvane/sessions/" + instance + ".json")
        << Json{{"instance", instance}, {"port", port},    {"pid", server->pid()},
                {"cwd", proj},          {"name", "proj"},  {"startedAt", platform::nowSeconds()},
                {"token", "tok-1"},     {"inject", inject}};
  }
  std::pair<std::optional<int>, std::string> run(const Names& args) {
    Names argv{cstest::binaryPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    auto child = cstest::Child::spawn(argv, cstest::baseEnv(home.path()),
                                      testkit::SpawnOptions(testkit::Err::Keep, {}, proj));
    child->closeInput();
    auto status = child->wait(10s);
    return {status, child->readAllErr()};
  }
  cstest::TempHome home;
  std::string proj;
  std::unique_ptr<cstest::Child> server;
};

TEST_F(PushRun, TokenGoesOnlyToTheServerTheRecordNames) {
  for (bool same : {false, true}) {
    SCOPED_TRACE(same);
    StandIn app(Json{{"pid", server->pid() + (same ? 0 : 1)}, {"instance", "INST"}}.dump());
    record("INST", app.port);
    auto [status, err] = run({"push", "olá", "mundo"});
    EXPECT_EQ(same ? 0 : 1, status);
    EXPECT_EQ(same ? ""
                   : "✗ a porta " + std::to_string(app.port) +
                         " não é do servidor da sessão (pid ou instância diferentes); nada "
                         "enviado\n",
              err);
    auto reqs = app.requests();
    ASSERT_EQ(same ? 2u : 1u, reqs.size());
    EXPECT_EQ(same, reqs.back().find("\r\nx-cv-token: tok-1\r\n") != std::string::npos);
    EXPECT_EQ(same, reqs.back().ends_with(
                        "\r\nContent-Length: 10\r\nConnection: close\r\n\r\nolá mundo"));
  }
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
  char buf[64] = {};
  EXPECT_EQ("ls -l\r", std::string(buf, static_cast<size_t>(::read(conn.get(), buf, sizeof(buf)))));
  EXPECT_EQ(1, run({"push", "--to", "bbbb", "x"}).first);  // port 1: nobody answers
}

}  // namespace
