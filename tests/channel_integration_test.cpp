#include "channel/request.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "tests/channel_client.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <thread>

namespace cstest {
namespace {

using nlohmann::json;

const std::string OK = R"({"ok":true})";

auto now() {
  return std::chrono::steady_clock::now();
}

json notification(const std::string& content) {
  return {{"jsonrpc", "2.0"},
          {"method", "notifications/claude/channel"},
          {"params", {{"content", content}, {"meta", {{"kind", "wakeword"}}}}}};
}

class ChannelServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = startChannel(home);
    ASSERT_NE(0, server.port) << server.child->errSoFar();
    port = std::to_string(server.port);
  }
  json pushed() { return json::parse(server.child->readLine().value_or(""), nullptr, false); }
  TempHome home;
  ChannelServer server;
  std::string port;
};

TEST_F(ChannelServerTest, AnswerTableOnTheWire) {
  const std::string info = R"({"name":"proj","pid":)" + std::to_string(server.child->pid()) +
                           R"(,"instance":"INST","port":)" + port + R"(,"version":"0.2.0"})";
  struct Case {
    std::string request, status, body, pushed = {};
  } cases[] = {
      {"GET /info HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\nOrigin: http://evil\r\n\r\n",
       "403 Forbidden", R"({"ok":false,"error":"origin not allowed"})"},
      {"GET /info HTTP/1.1\r\nHost: localhost\r\n\r\n", "403 Forbidden",
       R"({"ok":false,"error":"bad host"})"},
      {"GET /info HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n\r\n", "200 OK", info},
      {"GET /info?x=1 HTTP/1.1\r\nHost: localhost:" + port + "\r\n\r\n", "200 OK", info},
      {post("hi", "wrong"), "401 Unauthorized", R"({"ok":false,"error":"bad token"})"},
      {post(" \r\n\t "), "400 Bad Request", R"({"ok":false,"error":"empty body"})"},
      {post(" olá \"a\\b\"\n2 "), "200 OK", OK, "olá \"a\\b\"\n2"},
      {post("hello") + " world", "200 OK", OK, "hello"},
      {"DELETE / HTTP/1.1\r\n\r\n", "404 Not Found", R"({"ok":false,"error":"not found"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    EXPECT_EQ(httpAnswer(c.status, c.body), roundTrip(server.port, c.request).value_or("<none>"));
    if (!c.pushed.empty()) {
      EXPECT_EQ(notification(c.pushed), pushed());
    }
  }
  EXPECT_EQ("", server.child->readOutFor(100ms));
  EXPECT_TRUE(server.child->waitErr(
      "\n← GET /info HTTP/1.1 — REJEITADO (Origin: http://evil — pedido de browser)\n"));
  EXPECT_TRUE(server.child->waitErr("\n→ channel push: \"hello\"\n"));
}

TEST_F(ChannelServerTest, SplitTerminatorAndAFullSizeText) {
  platform::UniqueFd fd = connectTo(server.port);
  ASSERT_TRUE(sendAll(fd.get(), "POST / HTTP/1.1\r\nX-CV-Token: " + std::string(TOKEN) + "\r\n\r"));
  std::this_thread::sleep_for(50ms);  // lets the first piece arrive alone; right either way
  ASSERT_TRUE(sendAll(fd.get(), "\nsplit"));
  EXPECT_EQ(httpAnswer("200 OK", OK), readToEnd(fd.get()).value_or("<none>"));
  EXPECT_EQ(notification("split"), pushed());

  std::string text = "«olá» ";
  while (text.size() < channel::MAX_REQUEST) {
    text += "aspas \"duplas\" \\ barra\nlinha\t";
  }
  std::string head = post("").substr(0, post("").find("Content-Length"));
  text.resize(channel::MAX_REQUEST - head.size() - 27);  // the request is exactly 1 MiB
  std::string request = head + "Content-Length: " + std::to_string(text.size()) + "\r\n\r\n";
  fd = connectTo(server.port);
  ASSERT_TRUE(sendAll(fd.get(), request + text));
  // The server writes the notification and its log line before it answers: read those first.
  EXPECT_EQ(notification(text), pushed());
  EXPECT_TRUE(server.child->waitErr(text.substr(text.size() - 20) + "\"\n"));
  EXPECT_EQ(httpAnswer("200 OK", OK), readToEnd(fd.get()).value_or("<none>"));
}

// The client goes on sending after an early answer, and still reads it and a clean end.
TEST_F(ChannelServerTest, EarlyAnswersSurviveBytesSentAfterThem) {
  const std::pair<std::string, std::string> cases[] = {
      {post("hello") + " world", httpAnswer("200 OK", OK)},
      {"POST /big HTTP/1.1\r\nContent-Length: 4000000\r\n\r\n" +
           std::string(channel::MAX_REQUEST, 'a'),
       httpAnswer("413 Payload Too Large", R"({"ok":false,"error":"request too large"})")},
  };
  for (const auto& [request, answer] : cases) {
    SCOPED_TRACE(answer);
    platform::UniqueFd fd = connectTo(server.port);
    ASSERT_TRUE(sendAll(fd.get(), request));
    EXPECT_EQ(answer, readToEnd(fd.get()).value_or("<none>"));  // ends at the server's half-close
    // A server that closed already answers these with a reset, which fails the later sends.
    for (int i = 0; i < 32; ++i) {
      ASSERT_TRUE(sendAll(fd.get(), std::string(16 * 1024, 'z'))) << i;
    }
    ::shutdown(fd.get(), SHUT_WR);
    EXPECT_EQ("", readToEnd(fd.get()).value_or("<reset>"));
  }
  EXPECT_EQ(notification("hello"), pushed());
  EXPECT_TRUE(server.child->waitErr("\n← POST /big HTTP/1.1 — REJEITADO (pedido grande demais)\n"));
}

TEST_F(ChannelServerTest, IdleConnectionsTimeOutAndAFullServerRefuses) {
  platform::raiseOpenFileLimit(4096);
  auto start = now();
  std::vector<platform::UniqueFd> idle(512);
  for (auto& fd : idle) {
    ASSERT_TRUE((fd = connectTo(server.port)) && sendAll(fd.get(), "POST /slow HTTP/1.1\r\n"));
  }
  EXPECT_EQ(httpAnswer("503 Service Unavailable", R"({"ok":false,"error":"too many connections"})"),
            roundTrip(server.port, post("refused")).value_or("<none>"));
  const std::string timeout =
      httpAnswer("408 Request Timeout", R"({"ok":false,"error":"request timeout"})");
  EXPECT_EQ(timeout, readToEnd(idle[0].get(), 15s).value_or("<none>"));
  EXPECT_GE(now() - start, 9s);
  for (size_t i = 1; i < idle.size(); ++i) {
    ASSERT_EQ(timeout, readToEnd(idle[i].get()).value_or("<none>")) << i;
  }
  EXPECT_TRUE(server.child->waitErr("\n←  — REJEITADO (conexões demais)\n"));
  EXPECT_TRUE(server.child->waitErr("\n← POST /slow HTTP/1.1 — REJEITADO (tempo esgotado)\n"));
  idle.clear();
  // The server sees those ends on other threads than the next accept: poll until it has room.
  std::optional<std::string> again;
  for (auto until = start + 30s; again != httpAnswer("200 OK", OK) && now() < until;) {
    again = roundTrip(server.port, post("again"));
  }
  EXPECT_EQ(httpAnswer("200 OK", OK), again.value_or("<none>"));
}

TEST(ChannelLifecycle, EndsAndWhatTheyLeave) {
  platform::UniqueFd busy{::socket(AF_INET, SOCK_STREAM, 0)};
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  ASSERT_EQ(0, ::bind(busy.get(), reinterpret_cast<sockaddr*>(&addr), len));
  ASSERT_EQ(0, ::getsockname(busy.get(), reinterpret_cast<sockaddr*>(&addr), &len));
  ASSERT_EQ(0, ::listen(busy.get(), 1));
  const std::string wanted = std::to_string(ntohs(addr.sin_port));
  struct Case {
    std::string how, port;
    int status;
    std::string line;
    bool token = false;  // whether the token file remains; the record never does
  } cases[] = {
      {"busy port", wanted, 1, "não consegui abrir listener (porta pedida: " + wanted + ")\n"},
      {"SIGTERM", "", 0, "\nregistro publicado: ", true},
      {"stdin", wanted, 0, "HTTP em 127.0.0.1:" + wanted + " (projeto: proj)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    TempHome home;
    ChannelServer server =
        startChannel(home, c.port.empty() ? Env{} : Env{{"CV_CHANNEL_PORT", c.port}});
    ASSERT_EQ(c.status == 0, server.port != 0);
    if (c.how == "SIGTERM") {
      server.child->kill(SIGTERM);
    } else {
      server.child->closeInput();
    }
    EXPECT_EQ(c.status, server.child->wait());
    std::string err = server.child->readAllErr();
    EXPECT_NE(std::string::npos, err.find(c.line)) << err;
    EXPECT_EQ(
        c.how == "stdin",
        err.find("\nstdin fechado — encerrando (canal morre com a sessão)\n") != std::string::npos);
    EXPECT_FALSE(platform::exists(home / ".corvane/sessions/INST.json"));
    EXPECT_EQ(c.token, platform::exists(home / ".corvane/channel.token"));
    busy.reset();  // the requested port is free from here on
  }
}

}  // namespace
}  // namespace cstest
