#include "server/line_reader.h"

#include <gtest/gtest.h>

namespace {

// Whatever the pieces the bytes arrive in, the same lines come out.
TEST(LineReader, LinesDoNotDependOnHowTheBytesArrive) {
  const std::string BAD = "\xEF\xBF\xBD";  // U+FFFD
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"", {}},
      {"\n\r\n", {"", ""}},
      {"a\nb\r\nc", {"a", "b", "c"}},
      {"a\rb\r\r\n", {"a\rb\r"}},
      {"olá «x»\n\xC3\xA9", {"olá «x»", "é"}},
      {"\xFF\xC3\n\xE2\x82", {BAD + BAD, BAD}},
      {std::string("n\0ul\n", 5), {std::string("n\0ul", 4)}},
      {std::string(100000, 'x') + "\n", {std::string(100000, 'x')}},
  };
  for (const auto& [bytes, want] : cases) {
    for (size_t piece : {bytes.size() + 1, size_t{1}, size_t{2}, size_t{7}}) {
      SCOPED_TRACE(testing::PrintToString(bytes.substr(0, 40)) + " in pieces of " +
                   std::to_string(piece));
      server::LineReader reader;
      std::vector<std::string> got;
      for (size_t at = 0; at < bytes.size(); at += piece) {
        auto lines = reader.feed(std::string_view(bytes).substr(at, piece));
        got.insert(got.end(), lines.begin(), lines.end());
      }
      auto last = reader.finish();
      got.insert(got.end(), last.begin(), last.end());
      EXPECT_EQ(want, got);
      EXPECT_TRUE(reader.finish().empty());
    }
  }
}

TEST(LineReader, ALineOverTheLimitIsSkippedAsItArrives) {
  server::LineReader reader;
  std::vector<std::string> lines = reader.feed("first\n");
  for (size_t sent = 0; sent <= server::MAX_LINE; sent += 1 << 20) {
    EXPECT_TRUE(reader.feed(std::string(1 << 20, 'x')).empty());
  }
  EXPECT_TRUE(reader.skipping());
  lines.push_back(reader.feed("tail\nnext\r\n").at(0));
  EXPECT_EQ((std::vector<std::string>{"first", "next"}), lines);
  EXPECT_EQ(server::MAX_LINE, reader.feed(std::string(server::MAX_LINE, 'y') + "\n").at(0).size());
}

}  // namespace
