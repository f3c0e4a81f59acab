#include "query/client.h"

#include <gtest/gtest.h>

namespace {

using base::Json;

TEST(AppRequest, UnknownToolsHaveNoOperation) {
  for (const char* unknown : {"", "foo", "List_sessions", "list"}) {
    EXPECT_FALSE(query::opFor(unknown).has_value()) << unknown;
  }
}

TEST(AppRequest, ArgumentsKeptOnlyWithTheirJsonType) {
  const std::pair<const char*, const char*> cases[] = {
      {"{}", "{\"op\":\"x\",\"caller_pid\":42}"},
      {"{\"lines\":\"50\",\"offset\":3.5,\"limit\":true,\"ttl_s\":90.5}",
       "{\"op\":\"x\",\"ttl_s\":90.5,\"caller_pid\":42}"},
      {"{\"offset\":3.0,\"limit\":-2,\"lines\":600,\"ttl_s\":99999}",
       "{\"op\":\"x\",\"offset\":3,\"limit\":-2,\"ttl_s\":99999,\"lines\":600,\"caller_pid\":42}"},
      {"{\"outline\":1,\"session\":null,\"name\":[\"a\"],\"doc\":{}}",
       "{\"op\":\"x\",\"caller_pid\":42}"},
      {"{\"outline\":false,\"ttl_s\":false}", "{\"op\":\"x\",\"outline\":false,\"caller_pid\":42}"},
      {"{\"op\":\"evil\",\"caller_pid\":1,\"other\":1,\"text\":\"a\\nb\"}",
       "{\"op\":\"x\",\"text\":\"a\\nb\",\"caller_pid\":42}"},
      // Copied in a fixed order whatever the order received.
      {"{\"lines\":1,\"terminal\":\"t\",\"section\":\"s\",\"session\":\"p\",\"reason\":\"r\","
       "\"resource\":\"res\",\"find\":\"f\",\"doc\":\"board\",\"text\":\"x\",\"name\":\"n\"}",
       "{\"op\":\"x\",\"name\":\"n\",\"text\":\"x\",\"doc\":\"board\",\"find\":\"f\","
       "\"resource\":\"res\",\"reason\":\"r\",\"session\":\"p\",\"section\":\"s\","
       "\"terminal\":\"t\",\"lines\":1,\"caller_pid\":42}"},
  };
  for (const auto& [args, want] : cases) {
    EXPECT_EQ(want, query::buildRequest("x", Json::parse(args), 42).dump()) << args;
  }
}

TEST(AppRequest, FixedAnswers) {
  EXPECT_EQ("{\"error\":\"unknown tool: a\\\"b\\\\c\\n\"}", query::unknownToolAnswer("a\"b\\c\n"));

  const std::pair<std::string, std::string> answers[] = {
      {"", "{\"error\":\"empty response from the app\"}"},
      {"\xFF\n", "{\"error\":\"empty response from the app\"}"},
      {"\n", ""},
      {"  {\"a\":1}\n", "{\"a\":1}"},
      {"{\"a\":1}\nmore\n", "{\"a\":1}\nmore"},
      {"\xC2\xA0x\xE2\x80\xA9", "x"},
  };
  for (const auto& [bytes, want] : answers) {
    EXPECT_EQ(want, query::answerFromBytes(bytes)) << testing::PrintToString(bytes);
  }
}

}  // namespace
