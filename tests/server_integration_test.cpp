// The real binary over pipes, in a temporary HOME, with a stand-in app where tools are called.

#include "base/json.h"
#include "platform/files.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using namespace cstest;
using base::Json;

class ServerTest : public testing::Test {
 protected:
  std::unique_ptr<Child> start(Env env = {}) {
    env.merge(Env{{"CV_LAUNCH_CWD", "/work/proj/"}});
    env.merge(baseEnv(m_home.path()));
    return Child::spawn({binaryPath()}, env);
  }
  std::unique_ptr<Child> startToolsOnly() { return start({{"CV_TOOLS_ONLY", "1"}}); }

  TempHome m_home;
};

TEST_F(ServerTest, ToolsOnlyFramingAndQuietEnd) {
  auto c = startToolsOnly();
  // The start line and the input thread race; the stderr comparison below wants a fixed order.
  ASSERT_TRUE(c->waitErr("sem canal HTTP\n"));
  c->write("\n\n{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"initialize\"}\r\n   \n");
  EXPECT_NE(std::string::npos,
            c->readLine().value_or("").find(R"("protocolVersion":"2025-06-18")"));
  // Two requests in one write come back in order; an invalid byte becomes U+FFFD.
  c->write("{\"id\":\"a\xFF\",\"method\":\"ping\"}\n" + request(4, "tools/list"));
  EXPECT_EQ("{\"jsonrpc\":\"2.0\",\"id\":\"a\xEF\xBF\xBD\",\"result\":{}}", c->readLine());
  EXPECT_NE(std::string::npos, c->readLine().value_or("").find(R"("result":{"tools":[)"));
  // The last request may end without a line feed.
  c->write("{\"id\":5,\"method\":\"ping\"}");
  c->closeInput();
  EXPECT_EQ("{\"jsonrpc\":\"2.0\",\"id\":5,\"result\":{}}", c->readLine());
  EXPECT_EQ(0, c->wait());
  EXPECT_EQ("", c->readOutFor(100ms));
  EXPECT_EQ(
      "corvane MCP em modo só-tools (v0.2.0) — sem canal HTTP\n"
      "MCP initialize (proto=2025-06-18) — só-tools (projeto: proj)\n",
      c->readAllErr());
  EXPECT_FALSE(platform::exists(m_home / ".corvane")) << "tools-only mode writes no file";
}

TEST_F(ServerTest, ChannelModeRefusesWithoutToken) {
  // Absent, empty, and tools-only spelled with a blank.
  const Env cases[] = {
      {}, {{"CV_CHANNEL_TOKEN", ""}}, {{"CV_CHANNEL_TOKEN", ""}, {"CV_TOOLS_ONLY", "1 "}}};
  for (const Env& extra : cases) {
    SCOPED_TRACE(testing::PrintToString(extra));
    auto c = start(extra);
    EXPECT_EQ(1, c->wait());
    EXPECT_EQ(
        "✗ CV_CHANNEL_TOKEN ausente — recusando subir o canal.\n"
        "  Suba a sessão pelo comando 'corvane-run' (ele gera o token da sessão).\n",
        c->readAllErr());
    EXPECT_FALSE(platform::exists(m_home / ".corvane/channel.token"));
  }
}

TEST_F(ServerTest, AHugeLineIsAnswered) {
  auto c = startToolsOnly();
  std::string big(10 * 1024 * 1024, 'x');
  c->write("{\"id\":1,\"method\":\"ping\",\"params\":{\"pad\":\"" + big + "\"}}\n");
  EXPECT_EQ("{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{}}", c->readLine(20s));

  c->closeInput();
  EXPECT_EQ(0, c->wait(20s));
}

TEST_F(ServerTest, ToolCallsReachTheAppAndItsAnswersComeBack) {
  auto c = startToolsOnly();
  // Nobody listening: the server starts the companion, which answers.
  EXPECT_EQ("{\"sessions\":[],\"more\":0}", callTool(*c, 1, "{\"name\":\"list_sessions\"}"));
  EXPECT_EQ("{\"error\":\"unknown tool: foo\"}", callTool(*c, 2, "{\"name\":\"foo\"}"));

  platform::makeDirs(m_home / ".corvane");
  StandinApp app(m_home / ".corvane/sessions.sock");
  ASSERT_TRUE(app.listening());

  // What reaches the app carries this process's pid as an integer; which arguments go with it is
  // the request builder's, tested on its own.
  const std::string pid = std::to_string(::getpid());
  app.answer({"  {\"sessions\":[]}", " \n"}, 50);  // in two pieces, the first without a newline
  EXPECT_EQ("{\"sessions\":[]}", callTool(*c, 3, "{\"name\":\"list_sessions\"}"));
  EXPECT_EQ(R"({"op":"list","caller_pid":)" + pid + "}", app.requests().back());

  app.answer({"{\"ok\":1}\n"});
  callTool(*c, 4, R"({"name":"lease_acquire","arguments":{"resource":"tests","ttl_s":90.5}})");
  EXPECT_EQ(R"({"op":"lease_acquire","resource":"tests","ttl_s":90.5,"caller_pid":)" + pid + "}",
            app.requests().back());

  app.answer({});  // closes at once
  EXPECT_EQ("{\"error\":\"empty response from the app\"}",
            callTool(*c, 5, R"({"name":"terminal_write","arguments":{"text":"a\nb"}})"));
  EXPECT_EQ(R"({"op":"terminal_write","text":"a\nb","caller_pid":)" + pid + "}",
            app.requests().back());

  app.answer({std::string(20 * 1024 * 1024, 'a') + "\n"});
  EXPECT_EQ("{\"error\":\"the answer from the corvane app is too large\"}",
            callTool(*c, 6, "{\"name\":\"session_files\",\"arguments\":{\"name\":\"x\"}}"));

  c->write(request(7, "ping"));
  EXPECT_EQ("{\"jsonrpc\":\"2.0\",\"id\":7,\"result\":{}}", c->readLine());
  c->closeInput();
  EXPECT_EQ(0, c->wait());
}

}  // namespace
