#include "server/jsonrpc.h"

#include "base/json.h"
#include "platform/posix.h"
#include "server/output.h"
#include "tools/catalogue.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using base::Json;

struct Call {
  std::string name;
  Json args;
  int count = 0;
};

class JsonRpc : public testing::Test {
 protected:
  server::Outcome handle(const std::string& line, server::Mode mode = {}) {
    return server::handleMessage(line, "proj", mode,
                                 [this](const std::string& name, const Json& args) {
                                   m_call = {name, args, m_call.count + 1};
                                   return std::string("app says \"hi\"\n");
                                 });
  }

  Call m_call;
};

TEST_F(JsonRpc, IgnoredLinesProduceNothing) {
  const char* lines[] = {
      "not json",
      "[{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}]",
      "null",
      "   ",
      "{\"jsonrpc\":\"2.0\",\"id\":1}",
      "{\"id\":1,\"method\":7}",
      "{\"jsonrpc\":\"2.0\",\"id\":null,\"method\":\"ping\"}",
      "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}",
      "{\"jsonrpc\":\"2.0\",\"method\":\"tools/call\",\"params\":{\"name\":\"list_sessions\"}}",
      "{\"id\":1,\"method\":\"ping\"",
  };
  for (const char* line : lines) {
    SCOPED_TRACE(line);
    auto out = handle(line);
    EXPECT_FALSE(out.answer || out.log);
  }
  EXPECT_EQ(0, m_call.count) << "a notification must never reach the app";
}

TEST_F(JsonRpc, AnswersEchoTheIdAndNameUnknownMethods) {
  auto missing = [](const std::string& method) {
    return R"({"jsonrpc":"2.0","id":7,"error":{"code":-32601,"message":"Method not found: )" +
           method + "\"}}";
  };
  const std::pair<std::string, std::string> cases[] = {
      {R"({"jsonrpc":"2.0","id":1,"method":"ping"})", R"({"jsonrpc":"2.0","id":1,"result":{}})"},
      {R"({"id":"a-1","method":"ping"})", R"({"jsonrpc":"2.0","id":"a-1","result":{}})"},
      {R"({"id":0,"method":"resources/list"})",
       R"({"jsonrpc":"2.0","id":0,"result":{"resources":[]}})"},
      {R"({"id":[1,{"x":2}],"method":"prompts/list"})",
       R"({"jsonrpc":"2.0","id":[1,{"x":2}],"result":{"prompts":[]}})"},
      {R"({"id":7,"method":"notifications/cancelled"})", missing("notifications/cancelled")},
      {R"({"id":7,"method":"Initialize"})", missing("Initialize")},
      {R"({"id":7,"method":"server/discover"})", missing("server/discover")},
      {R"({"id":2.5,"method":"ping","params":[1]})", R"({"jsonrpc":"2.0","id":2.5,"result":{}})"},
  };
  for (const auto& [line, want] : cases) {
    SCOPED_TRACE(line);
    auto out = handle(line);
    ASSERT_TRUE(out.answer.has_value());
    EXPECT_EQ(want, *base::serialize(*out.answer));
    EXPECT_FALSE(out.log.has_value());
  }
}

TEST_F(JsonRpc, NestingLimit) {
  auto nested = [](size_t levels) {  // the message object itself is the first level
    return "{\"id\":1,\"method\":\"ping\",\"params\":{\"x\":\"[[{\",\"a\":" +
           std::string(levels - 2, '[') + std::string(levels - 2, ']') + "}}";
  };
  EXPECT_TRUE(handle(nested(base::MAX_DEPTH)).answer.has_value());
  EXPECT_FALSE(handle(nested(base::MAX_DEPTH + 1)).answer.has_value());
  // Far deeper is ignored too, never allowed to exhaust the stack.
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  for (const std::string& line :
       {deep, R"({"method":"ping","id":)" + deep + "}",
        R"({"params":)" + deep + R"(,"a":1,"b":2,"c":3,"id":9,"method":"ping"})"}) {
    EXPECT_FALSE(handle(line).answer.has_value()) << line.substr(0, 12);
  }
}

TEST_F(JsonRpc, InitializeByModeAndProtocol) {
  auto channel = handle("{\"id\":1,\"method\":\"initialize\"}");
  EXPECT_EQ(
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{\"protocolVersion\":\"2025-06-18\","
      "\"capabilities\":{\"experimental\":{\"claude/channel\":{}}},"
      "\"serverInfo\":{\"name\":\"corvane\",\"version\":\"0.2.0\"}}}",
      *base::serialize(*channel.answer));
  EXPECT_EQ("MCP initialize (proto=2025-06-18) — canal declarado (projeto: proj)", *channel.log);

  auto toolsOnly =
      handle("{\"id\":2,\"method\":\"initialize\",\"params\":{\"protocolVersion\":\"2024-11-05\"}}",
             {true, false});
  const Json& result = (*toolsOnly.answer)["result"];
  EXPECT_EQ("2024-11-05", result["protocolVersion"]);
  EXPECT_EQ(Json::parse("{\"tools\":{}}"), result["capabilities"]);
  EXPECT_EQ(server::INSTRUCTIONS, result["instructions"]);
  EXPECT_EQ("MCP initialize (proto=2024-11-05) — só-tools (projeto: proj)", *toolsOnly.log);

  // A non-string protocol version is as good as none.
  auto odd = handle("{\"id\":3,\"method\":\"initialize\",\"params\":{\"protocolVersion\":5}}");
  EXPECT_EQ("2025-06-18", (*odd.answer)["result"]["protocolVersion"]);
}

TEST_F(JsonRpc, ToolCallForwardsNameAndArgumentsAndWrapsTheText) {
  auto out = handle(
      "{\"id\":9,\"method\":\"tools/call\",\"params\":{\"name\":\"session_cost\","
      "\"arguments\":{\"name\":\"x\",\"extra\":[1]}}}");
  EXPECT_EQ("session_cost", m_call.name);
  EXPECT_EQ(Json::parse("{\"name\":\"x\",\"extra\":[1]}"), m_call.args);
  EXPECT_EQ(
      "{\"jsonrpc\":\"2.0\",\"id\":9,\"result\":{\"content\":[{\"type\":\"text\","
      "\"text\":\"app says \\\"hi\\\"\\n\"}]}}",
      *base::serialize(*out.answer));

  for (const char* line :
       {R"({"id":10,"method":"tools/call"})",
        R"({"id":11,"method":"tools/call","params":{"name":3,"arguments":[1]}})"}) {
    handle(line);
    EXPECT_EQ(std::make_pair(std::string(), Json::object()),
              std::make_pair(m_call.name, m_call.args))
        << line;
  }
  EXPECT_EQ(3, m_call.count);
}

TEST_F(JsonRpc, AWardenSessionListsOnlyItsFourTools) {
  auto names = [&](bool warden) {
    std::vector<std::string> out;
    auto answer = handle("{\"id\":1,\"method\":\"tools/list\"}", {false, warden}).answer;
    for (const auto& t : (*answer)["result"]["tools"]) {
      out.push_back(t["name"]);
    }
    return out;
  };
  std::vector<std::string> all;
  for (const auto& t : tools::sessionTools()) {
    all.push_back(t["name"]);
  }
  EXPECT_EQ(all, names(false));
  EXPECT_EQ((std::vector<std::string>{"list_sessions", "session_activity", "session_cost",
                                      "session_files"}),
            names(true));
}

// Configuration flags are on only when exactly "1".
TEST(EnvFlag, OnlyTheSingleCharacterOne) {
  const char* name = "CS_FLAG_UNDER_TEST";
  for (const char* value :
       {static_cast<const char*>(nullptr), "", "0", "true", " 1", "1 ", "01", "1"}) {
    SCOPED_TRACE(value ? value : "(unset)");
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
    EXPECT_EQ(value && std::string(value) == "1", platform::envFlag(name));
  }
  ::unsetenv(name);
}

TEST(Output, SerializeRefusesWhatCannotBeWritten) {
  EXPECT_FALSE(base::serialize(Json("bad \xFF byte")).has_value());
  Json deep = Json::array();
  Json* leaf = &deep;
  for (int i = 0; i < 100000; ++i) {
    *leaf = Json::array({Json::array()});
    leaf = &(*leaf)[0];
  }
  EXPECT_FALSE(base::serialize(deep).has_value());
  EXPECT_EQ("{\"a\":\"line\\nbreak\\t\\\"q\\\"\"}",
            *base::serialize(Json{{"a", "line\nbreak\t\"q\""}}));
}

}  // namespace
