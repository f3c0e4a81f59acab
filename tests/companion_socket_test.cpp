// The companion's socket under clients that misbehave, and its life beside other owners.

#include "base/json.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>

namespace {

using namespace cstest;
using base::Json;

class CompanionSocket : public testing::Test {
 protected:
  std::unique_ptr<Child> startApp() { return startCompanion(m_home.path()); }
  TempHome m_home;
  std::string m_sock = m_home / ".corvane/sessions.sock";
};

TEST_F(CompanionSocket, HostileClientsStallNobody) {
  auto app = startApp();
  EXPECT_EQ(S_IFSOCK | 0600u, modeOf(m_sock));
  EXPECT_EQ(S_IFDIR | 0700u, modeOf(m_home / ".corvane"));

  // Silent, then half a request: both held open while others are served.
  platform::UniqueFd silent = testkit::connectUnix(m_sock);
  platform::UniqueFd partial = testkit::connectUnix(m_sock);
  ASSERT_TRUE(sendAll(partial.get(), "{\"op\":\"list\""));
  const std::pair<std::string, std::string> cases[] = {
      {"{\"op\":\"list\",\"caller_pid\":1}\n", "{\"sessions\":[],\"more\":0}"},
      {"{\"op\":\"lease_acquire\",\"caller_pid\":1}\n",
       "{\"error\":\"resource must be a non-empty string\"}"},
      {"{\"op\":\"cost\",\"name\":\"x\"}\n{\"op\":\"list\"}\n",
       "{\"error\":\"no session called x\",\"sessions\":[]}"},
      {"{\"op\":\"list\",\"pad\":\"" + std::string(2 << 20, 'x') + "\"}\n",
       "{\"error\":\"the request is larger than 1 MiB\"}"},
  };
  for (const auto& [request, want] : cases) {
    SCOPED_TRACE(request.substr(0, 60));
    EXPECT_EQ(want, askUnix(m_sock, request, 3s));
  }
  EXPECT_EQ(0, ::kill(app->pid(), 0)) << "still serving";
  app->kill(SIGTERM);
  EXPECT_EQ(128 + SIGTERM, app->wait());
  EXPECT_FALSE(platform::exists(m_sock));
}

TEST_F(CompanionSocket, ReplacesAStaleSocketAndStandsAsideForALiveOne) {
  platform::makeDirs(m_home / ".corvane");
  {
    sockaddr_un addr{};
    platform::makeUnixAddress(m_sock, &addr);
    platform::UniqueFd dead{::socket(AF_UNIX, SOCK_STREAM, 0)};
    ASSERT_EQ(0, ::bind(dead.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  }
  ASSERT_TRUE(platform::exists(m_sock));
  auto first = startApp();
  EXPECT_EQ("{\"sessions\":[],\"more\":0}", askUnix(m_sock, "{\"op\":\"list\"}\n", 5s));

  auto second = Child::spawn({binaryPath(), "app"}, baseEnv(m_home.path()));
  EXPECT_EQ(0, second->wait());
  // The one that answers is named, by its pid.
  EXPECT_NE(std::string::npos,
            second->readAllErr().find("✋ o companion (pid " + std::to_string(first->pid()) +
                                      ") já responde em"));
  EXPECT_EQ("{\"sessions\":[],\"more\":0}", askUnix(m_sock, "{\"op\":\"list\"}\n", 5s));

  // Taking its socket away ends it; the file that replaced it stays.
  ::unlink(m_sock.c_str());
  ASSERT_TRUE(platform::createFile(m_sock, "", 0600, nullptr));
  EXPECT_EQ(0, first->wait(12s));
  EXPECT_TRUE(platform::exists(m_sock));
}

TEST_F(CompanionSocket, TwoToolsOnlyServersRacingStartOneCompanion) {
  std::unique_ptr<Child> servers[] = {toolsOnly(m_home.path()), toolsOnly(m_home.path())};
  for (auto& s : servers) {
    s->write(request(1, "tools/call", "{\"name\":\"list_sessions\"}"));
  }
  for (auto& s : servers) {  // both asked before either answers: they race to start it
    auto line = Json::parse(s->readLine(10s).value_or("{}"));
    EXPECT_EQ("{\"sessions\":[],\"more\":0}", line["result"]["content"][0]["text"]) << line;
    s->closeInput();
    EXPECT_EQ(0, s->wait());
  }
  auto log = [&] { return platform::readFile(m_home / ".corvane/companion.log").value_or(""); };
  auto count = [&](std::string_view what) {
    size_t n = 0;
    std::string text = log();
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
      ++n;
    }
    return n;
  };
  std::this_thread::sleep_for(2500ms);  // a displaced companion notices within a second
  EXPECT_EQ(1u, count("✓ companion a escutar") - count("o companion sai")) << log();
  // The one left outlives the servers; removing its socket sends it away.
  ::unlink(m_sock.c_str());
  for (int i = 0; i < 120 && count("removido ou substituído") == 0; ++i) {
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(count("✓ companion a escutar"), count("o companion sai")) << log();
}

}  // namespace
