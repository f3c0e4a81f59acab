// A push reaches the session exactly once or is refused: readiness, a stuck or closed standard
// output, bodies that are not whole, and the ends that must not wait.

#include "platform/files.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <future>
#include <set>
#include <sys/socket.h>
#include <thread>

namespace cstest {
namespace {

const std::string INITIALIZED = "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}\n";

std::string status(const std::string& answer) {
  return answer.substr(0, answer.find("\r\n"));
}
std::string body(const std::string& answer) {
  size_t at = answer.find("\r\n\r\n");
  return at == std::string::npos ? "<no answer>" : answer.substr(at + 4);
}

// Sends, optionally half-closes, and reads the answer to its end (what came before a reset).
std::string converse(uint16_t port, const std::string& request, bool halfClose = false) {
  platform::UniqueFd fd = connectTcp(port);
  std::string got;
  if (fd && sendAll(fd.get(), request) && (!halfClose || ::shutdown(fd.get(), SHUT_WR) == 0)) {
    testkit::recvAll(fd.get(), &got, testkit::Clock::now() + 40s);
  }
  return got;
}

std::future<std::string> pushLater(uint16_t port, const std::string& text) {
  return std::async(std::launch::async, [port, text] { return converse(port, post(text)); });
}

std::string contentOf(const std::optional<std::string>& line) {
  auto message = nlohmann::json::parse(line.value_or(""), nullptr, false);
  return message.is_object() ? message["params"].value("content", "<not a push>") : "<none>";
}

TEST(Readiness, HeldPushesGoOutInOrderOnceTheClientSaysItIsReady) {
  TempHome home;
  ChannelServer server(home, {}, {}, false);
  ASSERT_NE(0, server.port);
  std::vector<std::future<std::string>> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(pushLater(server.port, "held " + std::to_string(i)));
    std::this_thread::sleep_for(50ms);  // arrival order is the order they must keep
  }
  server.child->write(INITIALIZED);  // before our initialize answer: does not count
  server.child->write(request(1, "server/discover"));
  EXPECT_NE(std::string::npos, server.child->readLine().value_or("").find("-32601"));
  server.ready();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ("held " + std::to_string(i), contentOf(server.child->readLine()));
    EXPECT_EQ("HTTP/1.1 200 OK", status(held[i].get()));
  }
}

TEST(Output, AStuckReaderDelaysNothingElseAndEvery200IsWrittenOnce) {
  TempHome home;
  ChannelServer server(home, {}, {"/bin/sh", "-c", "exec \"$0\" 2>\"$HOME/err\""});
  ASSERT_NE(0, server.port);
  std::vector<std::future<std::string>> pushes;
  for (int i = 0; i < 80; ++i) {  // 8 MB: far past the pipe and the queue
    pushes.push_back(pushLater(server.port, std::to_string(i) + std::string(100000, 'x')));
  }
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ("HTTP/1.1 200 OK", status(converse(server.port, "GET /info HTTP/1.1\r\n\r\n")));
  EXPECT_EQ("HTTP/1.1 408 Request Timeout", status(converse(server.port, "POST / HTTP/1.1\r\n")));
  std::multiset<std::string> written;
  for (std::optional<std::string> line; (line = server.child->readLine(2s));) {
    written.insert(contentOf(line).substr(0, 3));
  }
  int busy = 0;
  for (int i = 0; i < 80; ++i) {
    std::string answer = pushes[i].get(), key = (std::to_string(i) + "xxx").substr(0, 3);
    bool ok = status(answer) == "HTTP/1.1 200 OK";
    busy += body(answer) == R"({"ok":false,"error":"session busy"})";
    EXPECT_EQ(ok ? 1u : 0u, written.count(key)) << answer;
  }
  EXPECT_GT(busy, 0);
}

TEST(Output, AClosedReaderEndsTheServerAndThePushIsRefused) {
  TempHome home;
  ChannelServer server(home);
  ASSERT_NE(0, server.port);
  server.child->closeOutput();
  EXPECT_EQ(R"({"ok":false,"error":"session ended"})", body(converse(server.port, post("lost"))));
  EXPECT_EQ(0, server.child->wait());
  EXPECT_TRUE(server.child->waitErr("stdin fechado — encerrando"));  // the end that cleans up
}

TEST(WholeBodies, WhatIsNotWholeIsNeverPushed) {
  TempHome home;
  ChannelServer server(home);
  ASSERT_NE(0, server.port);
  {  // reset mid-body
    platform::UniqueFd fd = connectTcp(server.port);
    std::string cut = post("rm -rf ~/build && echo done");
    sendAll(fd.get(), cut.substr(0, cut.size() - 10));
    std::this_thread::sleep_for(100ms);
    testkit::resetClose(std::move(fd));
  }
  const std::string head = "POST / HTTP/1.1\r\nX-CV-Token: " + TOKEN + "\r\n";
  struct {
    std::string request, answer;
    bool halfClose;
  } cases[] = {
      {post("whole").substr(0, post("whole").size() - 2), "incomplete body", true},
      {head + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
       "content-length required", false},
      {head + "Content-Length: 5\r\ntransfer-encoding: identity\r\n\r\nhello",
       "content-length required", false},
      // Neither waits for a body that never comes.
      {"POST / HTTP/1.1\r\nX-CV-Token: no\r\nContent-Length: 900000\r\n\r\n", "bad token", false},
      {head + "Content-Length: 2000000\r\n\r\n", "request too large", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ("{\"ok\":false,\"error\":\"" + c.answer + "\"}",
              body(converse(server.port, c.request, c.halfClose)));
  }
  EXPECT_EQ("HTTP/1.1 200 OK", status(converse(server.port, post("after"))));
  EXPECT_EQ("after", contentOf(server.child->readLine()));
}

TEST(Ends, EndOfInputDuringAToolCallEndsTheServerAtOnce) {
  TempHome home;
  platform::makeDirs(home / ".corvane");
  StandinApp app(home / ".corvane/sessions.sock");
  app.setMode(StandinApp::Mode::NeverAnswer);
  ChannelServer server(home, {}, {}, false);
  ASSERT_NE(0, server.port);
  server.child->write(request(1, "tools/call", R"({"name":"list_sessions"})"));
  for (int i = 0; i < 200 && app.requests().empty(); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  server.child->closeInput();
  EXPECT_EQ(0, server.child->wait(3s));
  EXPECT_FALSE(platform::exists(home / ".corvane/sessions/INST.json"));
}

}  // namespace
}  // namespace cstest
