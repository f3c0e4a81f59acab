// The channel-mode server over real loopback sockets: its answers byte for byte, its limits, its
// ends, and pushes under concurrent load.

#include "channel/request.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <fstream>
#include <regex>
#include <set>
#include <signal.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>

namespace cstest {
namespace {

using nlohmann::json;

using Clock = std::chrono::steady_clock;

// The answer the server must send, written out apart from the server's own code.
std::string httpAnswer(const std::string& status, const std::string& body) {
  return "HTTP/1.1 " + status +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}
const std::string OK = httpAnswer("200 OK", R"({"ok":true})");
std::string refused(const std::string& status, const std::string& error) {
  return httpAnswer(status, R"({"ok":false,"error":")" + error + "\"}");
}

json notification(const std::string& content) {
  return {{"jsonrpc", "2.0"},
          {"method", "notifications/claude/channel"},
          {"params", {{"content", content}, {"meta", {{"kind", "wakeword"}}}}}};
}

// Each row's terminator arrives split across two receives, and the client goes on sending after
// the answer: it must still read that answer and a clean end.
TEST(ChannelWire, AnswerTableOnTheWire) {
  TempHome home;
  ChannelServer server(home);
  ASSERT_NE(0, server.port) << server.child->errSoFar();
  const std::string port = std::to_string(server.port), wrongPort = std::to_string(server.port + 1);
  const std::string info =
      httpAnswer("200 OK", R"({"name":"olá","pid":)" + std::to_string(server.child->pid()) +
                               R"(,"instance":"INST","port":)" + port + R"(,"version":"0.2.0"})");
  std::string text = "«olá» ";  // a whole 1 MiB request
  while (text.size() < channel::MAX_REQUEST) {
    text += "aspas \"duplas\" \\ barra\nlinha\t";
  }
  text.resize(channel::MAX_REQUEST - post("").size() - 6);  // 6 more digits in Content-Length
  ASSERT_EQ(channel::MAX_REQUEST, post(text).size());
  struct Case {
    std::string request, answer, log = {}, pushed = {};
  } cases[] = {
      {"GET /info HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\nOrigin: http://evil\r\n\r\n",
       refused("403 Forbidden", "origin not allowed"),
       "← GET /info HTTP/1.1 — REJEITADO (Origin: http://evil — pedido de browser)"},
      {"POST / HTTP/1.1\r\nX-CV-Token: " + TOKEN + "\r\nOrigin: http://a\r\n\r\nhi",
       refused("403 Forbidden", "origin not allowed"),
       "← POST / HTTP/1.1 — REJEITADO (Origin: http://a — pedido de browser)"},
      {"GET /info HTTP/1.1\r\nHost: localhost\r\n\r\n", refused("403 Forbidden", "bad host"),
       "← GET /info HTTP/1.1 — REJEITADO (Host inesperado: localhost)"},
      {"POST / HTTP/1.1\r\nHost: 127.0.0.1:" + wrongPort + "\r\n\r\n",
       refused("403 Forbidden", "bad host"),
       "← POST / HTTP/1.1 — REJEITADO (Host inesperado: 127.0.0.1:" + wrongPort + ")"},
      {"GET /info HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n\r\n", info},
      {"GET  /info?x=1  HTTP/1.1\r\nHost: localhost:" + port + "\r\n\r\n", info},
      {"PUT / HTTP/1.1\r\nX-CV-Token: " + TOKEN + "\r\n\r\n",
       refused("404 Not Found", "not found")},
      {post("hi", "wrong"), refused("401 Unauthorized", "bad token"),
       "← POST / HTTP/1.1 — REJEITADO (token inválido)"},
      {post(" \r\n\t\u2003"), refused("400 Bad Request", "empty body")},
      {post(" olá \"a\\b\"\n2 "), OK, {}, "olá \"a\\b\"\n2"},
      {post("hello") + " world", OK, {}, "hello"},
      {post(text), OK, {}, text},
      {"POST /big HTTP/1.1\r\nContent-Length: 4000000\r\n\r\n" +
           std::string(channel::MAX_REQUEST, 'a'),
       refused("413 Payload Too Large", "request too large"),
       "← POST /big HTTP/1.1 — REJEITADO (pedido grande demais)"},
  };
  std::string log;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request.substr(0, 200));
    platform::UniqueFd fd = connectTcp(server.port);
    const size_t cut = c.request.find("\r\n\r\n") + 3;
    ASSERT_TRUE(sendAll(fd.get(), c.request.substr(0, cut)));
    std::this_thread::sleep_for(20ms);  // lets the first piece arrive alone; right either way
    ASSERT_TRUE(sendAll(fd.get(), c.request.substr(cut)));
    // The server pushes and logs before it answers, and a full pipe would hold the answer back.
    if (!c.pushed.empty()) {
      EXPECT_EQ(notification(c.pushed),
                json::parse(server.child->readLine().value_or(""), nullptr, false));
    }
    std::string logged = std::regex_replace(c.pushed, std::regex("\n"), "\\n");
    logged = std::regex_replace(logged, std::regex("\t"), "\\t");
    const std::string line = c.pushed.empty() ? c.log : "→ channel push: \"" + logged + "\"";
    log += line.empty() ? "" : line + "\n";
    EXPECT_TRUE(server.child->waitErr(log));
    EXPECT_EQ(c.answer, readToEnd(fd.get()).value_or("<none>"));  // ends at the server's half-close
    // A server that closed already answers these with a reset, which fails the send or the end.
    for (int i = 0; i < 32; ++i) {
      ASSERT_TRUE(sendAll(fd.get(), std::string(16 * 1024, 'z'))) << i;
    }
    ::shutdown(fd.get(), SHUT_WR);
    EXPECT_EQ("", readToEnd(fd.get()).value_or("<reset>"));
  }
  EXPECT_EQ("", server.child->readOutFor(100ms));
  // Each refusal and push was logged once, in order, and nothing else was.
  const std::string& err = server.child->errSoFar();
  EXPECT_EQ(log, err.substr(err.find("canal declarado (projeto: olá)\n") + 32));
}

// A full server makes room by closing the connection that has waited longest for its request.
TEST(ChannelWire, IdleConnectionsTimeOutAndAFullServerMakesRoom) {
  TempHome home;
  ChannelServer server(home);
  ASSERT_NE(0, server.port) << server.child->errSoFar();
  platform::raiseOpenFileLimit(4096);
  auto start = Clock::now();
  std::vector<platform::UniqueFd> idle(512);
  for (auto& fd : idle) {  // the request line leads with an empty line, which is skipped
    ASSERT_TRUE((fd = connectTcp(server.port)) &&
                sendAll(fd.get(), "\r\nPOST /slow HTTP/1.1\r\nH"));
  }
  EXPECT_EQ(OK, roundTrip(server.port, post("room")).value_or("<none>"));
  EXPECT_EQ("", readToEnd(idle[0].get()).value_or("")) << "the oldest was not closed unanswered";
  const std::string timeout = refused("408 Request Timeout", "request timeout");
  EXPECT_EQ(timeout, readToEnd(idle[1].get(), 15s).value_or("<none>"));
  EXPECT_GE(Clock::now() - start, 1500ms);
  for (size_t i = 2; i < idle.size(); ++i) {
    ASSERT_EQ(timeout, readToEnd(idle[i].get()).value_or("<none>")) << i;
  }
  EXPECT_TRUE(server.child->waitErr("\n← POST /slow HTTP/1.1 — REJEITADO (tempo esgotado)\n"));
  EXPECT_EQ(std::string::npos, server.child->errSoFar().find("conexões demais"));
}

TEST(ChannelLifecycle, EndsAndWhatTheyLeave) {
  // Every end removes the record, and the token file while it still holds this server's token; a
  // signal is passed on once that is done.
  auto ends = [](ChannelServer& server, const TempHome& home, int status, const std::string& line,
                 bool token) {
    EXPECT_EQ(status, server.child->wait());
    std::string err = server.child->readAllErr();
    EXPECT_NE(std::string::npos, err.find(line)) << err;
    EXPECT_EQ(status == 0, err.find("\nstdin fechado — encerrando (canal morre com a sessão)\n") !=
                               std::string::npos);
    EXPECT_FALSE(platform::exists(home / ".corvane/sessions/INST.json"));
    EXPECT_EQ(token, platform::exists(home / ".corvane/channel.token"));
  };
  TempHome homes[4];
  ChannelServer signalled(homes[0]);
  ASSERT_NE(0, signalled.port);
  const std::string port = std::to_string(signalled.port);
  ChannelServer busy(homes[1], {{"CV_CHANNEL_PORT", port}});
  EXPECT_EQ(0, busy.port);
  ends(busy, homes[1], 1, "não consegui abrir listener (porta pedida: " + port + ")\n", false);
  signalled.child->kill(SIGTERM);
  ends(signalled, homes[0], 128 + SIGTERM, "\nregistro publicado: ", false);
  ChannelServer replaced(homes[3]);
  ASSERT_NE(0, replaced.port);
  std::ofstream(homes[3] / ".corvane/channel.token") << "a later server's token";
  replaced.child->kill(SIGHUP);
  ends(replaced, homes[3], 128 + SIGHUP, "\nregistro publicado: ", true);
  ChannelServer closed(homes[2], {{"CV_CHANNEL_PORT", port}});  // free again
  ASSERT_NE(0, closed.port);
  closed.child->closeInput();
  ends(closed, homes[2], 0, "HTTP em 127.0.0.1:" + port + " (projeto: olá)\n", false);
}

std::string text(int client, int n) {
  return "push " + std::to_string(client) + "-" + std::to_string(n) + " «olá» \"q\"\n\\ fim";
}

// Only the server's own lines may reach standard error, however it ends; a pushed text keeps its
// line feed in the log.
const std::regex KNOWN_LINE(
    R"re((HTTP em 127\.0\.0\.1:|registro publicado: |corvane channel server no ar \(v0\.2\.0\)|→ channel push: "push |stdin fechado — encerrando \(canal morre com a sessão\)|MCP initialize |← POST / HTTP/1\.1 — REJEITADO \(sessão encerrada\)).*|\\ fim")re");

// Clients push while MCP requests flow on stdin: each client's first CHECKED pushes are answered
// and notified exactly once and whole, and the answers keep their order. The load goes on while
// the server is ended, which must be clean.
TEST(ChannelLoad, PushesWhileRequestsFlowThenAnEndUnderLoad) {
  constexpr int CLIENTS = 8, CHECKED = 100, PINGS = 200;
  for (bool bySignal : {true, false}) {
    SCOPED_TRACE(bySignal ? "SIGTERM" : "stdin closed");
    TempHome home;
    ChannelServer server(home);
    ASSERT_NE(0, server.port);
    std::atomic<int> unanswered{0}, loaded{0};
    std::vector<std::jthread> clients;
    for (int c = 0; c < CLIENTS; ++c) {
      clients.emplace_back([&, c](std::stop_token stop) {
        for (int n = 0; !stop.stop_requested(); ++n) {
          bool ok = roundTrip(server.port, post(text(c, n)), 20s) == OK;
          unanswered += n < CHECKED && !ok;
          loaded += n == CHECKED;
        }
      });
    }
    for (int id = 1; id <= PINGS; ++id) {
      EXPECT_TRUE(server.child->write(request(id, "ping")));
    }
    // Reads standard output to its end, and ends the server once every checked push and ping is
    // answered, with the load still on.
    std::set<std::string> pushed;
    int answered = 0;
    bool ending = false;
    for (std::optional<std::string> line; (line = server.child->readLine(20s));) {
      auto message = json::parse(*line, nullptr, false);
      if (!message.is_object()) {
        ADD_FAILURE() << "torn line: " << *line;
      } else if (message.contains("id")) {
        EXPECT_EQ(++answered, message["id"].get<int>());
      } else {
        std::string content = message["params"]["content"].get<std::string>();
        EXPECT_TRUE(pushed.insert(content).second) << "twice: " << content;
      }
      if (answered == PINGS && loaded == CLIENTS && !std::exchange(ending, true)) {
        bySignal ? server.child->kill(SIGTERM) : server.child->closeInput();
      }
    }
    EXPECT_EQ(bySignal ? 128 + SIGTERM : 0, server.child->wait(10s));
    clients.clear();
    EXPECT_EQ(0, unanswered.load());
    EXPECT_EQ(PINGS, answered);
    for (int c = 0; c < CLIENTS; ++c) {
      for (int n = 0; n < CHECKED; ++n) {
        EXPECT_TRUE(pushed.contains(text(c, n))) << text(c, n);
      }
    }
    std::istringstream err(server.child->readAllErr());
    for (std::string line; std::getline(err, line);) {
      EXPECT_TRUE(std::regex_match(line, KNOWN_LINE)) << line;
    }
  }
}

TEST(ChannelLoad, AcceptingResumesWhenDescriptorsAreFreeAgain) {
  TempHome home;
  ChannelServer server(home, {}, {"/bin/sh", "-c", "ulimit -n 32 && exec \"$0\""});
  ASSERT_NE(0, server.port) << server.child->errSoFar();
  std::vector<platform::UniqueFd> idle(64);
  for (auto& fd : idle) {
    ASSERT_TRUE(fd = connectTcp(server.port));
  }
  // Connections never use up the descriptors: the newcomer gets in while the idle ones stay.
  platform::UniqueFd queued = connectTcp(server.port);
  ASSERT_TRUE(sendAll(queued.get(), post("queued")));
  EXPECT_EQ(OK, readToEnd(queued.get(), 10s).value_or("<none>"));
  EXPECT_NE(std::string::npos, server.child->readLine().value_or("").find("\"queued\""));
  EXPECT_EQ(std::string::npos, server.child->errSoFar().find("listener falhou"));
}

}  // namespace
}  // namespace cstest
