// An app that accepts and never answers must not hold the server forever.

#include "platform/files.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

namespace {

using namespace cstest;

TEST(SilentApp, ToolCallTimesOutAndTheServerGoesOn) {
  TempHome home;
  platform::makeDirs(home / ".corvane");
  StandinApp app(home / ".corvane/sessions.sock");
  app.setMode(StandinApp::Mode::NeverAnswer);
  Env env = baseEnv(home.path());
  env["CV_TOOLS_ONLY"] = "1";
  auto c = Child::spawn({binaryPath()}, env);
  auto started = std::chrono::steady_clock::now();
  c->write(request(1, "tools/call", "{\"name\":\"list_sessions\"}"));
  auto line = c->readLine(45s);
  auto waited = std::chrono::steady_clock::now() - started;
  ASSERT_TRUE(line);
  EXPECT_NE(std::string::npos, line->find("the corvane app did not answer in time"));
  EXPECT_GE(waited, 29s);
  c->write(request(2, "ping"));
  EXPECT_EQ("{\"jsonrpc\":\"2.0\",\"id\":2,\"result\":{}}", c->readLine());
  c->closeInput();
  EXPECT_EQ(0, c->wait());
}

}  // namespace
