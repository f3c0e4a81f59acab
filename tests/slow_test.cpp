// The bounds that take real seconds. They are waited out side by side, so the suite pays for the
// longest alone.

#include "platform/files.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

namespace {

using namespace cstest;

// An app that accepts and never answers must not hold the server forever.
void silentAppTimesOut() {
  TempHome home;
  platform::makeDirs(home / ".corvane");
  StandinApp app(home / ".corvane/sessions.sock");
  app.setMode(StandinApp::Mode::NeverAnswer);
  auto c = toolsOnly(home.path());
  auto started = std::chrono::steady_clock::now();
  std::string text = callTool(*c, 1, "{\"name\":\"list_sessions\"}", 45s);
  auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_NE(std::string::npos, text.find("the corvane app did not answer in time")) << text;
  EXPECT_GE(waited, 29s);
  c->write(request(2, "ping"));
  EXPECT_EQ("{\"jsonrpc\":\"2.0\",\"id\":2,\"result\":{}}", c->readLine());
  c->closeInput();
  EXPECT_EQ(0, c->wait());
}

// Before the client is ready at most 64 pushes are held, and none longer than 30 s.
void heldPushesAreWithdrawn() {
  TempHome home;
  ChannelServer server(home, {}, {}, false);
  ASSERT_NE(0, server.port);
  std::vector<std::future<std::optional<std::string>>> held;
  for (int i = 0; i < 70; ++i) {
    held.push_back(std::async(std::launch::async, [&server, i] {
      return roundTrip(server.port, post("held " + std::to_string(i)), 40s);
    }));
  }
  auto answered = [&] {
    return std::count_if(held.begin(), held.end(),
                         [](auto& h) { return h.wait_for(0s) == std::future_status::ready; });
  };
  for (int i = 0; i < 100 && answered() < 6; ++i) {
    std::this_thread::sleep_for(50ms);
  }
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(6, answered()) << "the ones past 64 are refused at once, the others held";
  const std::string refusal = "\r\nRetry-After: 1\r\n";
  const std::string body = R"({"ok":false,"error":"channel not ready"})";
  for (auto& h : held) {
    std::string answer = h.get().value_or("<none>");
    EXPECT_NE(std::string::npos, answer.find(refusal)) << answer;
    EXPECT_EQ(body, answer.substr(answer.size() - std::min(answer.size(), body.size())));
  }
  server.ready();
  EXPECT_EQ("", server.child->readOutFor(300ms)) << "a withdrawn push was written";
}

// Half a request is answered after 10 s; the companion goes on.
void companionGivesUpOnHalfARequest() {
  TempHome home;
  const std::string sock = home / ".corvane/sessions.sock";
  auto app = startCompanion(home.path());
  EXPECT_EQ("{\"error\":\"the request was not complete within 10 seconds\"}",
            askUnix(sock, "{\"op\":\"list\"", 15s));
  EXPECT_EQ("{\"sessions\":[],\"more\":0}", askUnix(sock, "{\"op\":\"list\"}\n", 5s));
  app->kill(SIGTERM);
  EXPECT_EQ(128 + SIGTERM, app->wait());
}

TEST(RealTime, BoundsWaitedOutTogether) {
  std::future<void> runs[] = {std::async(std::launch::async, silentAppTimesOut),
                              std::async(std::launch::async, heldPushesAreWithdrawn),
                              std::async(std::launch::async, companionGivesUpOnHalfARequest)};
  for (auto& r : runs) {
    r.get();
  }
}

}  // namespace
