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

}  // namespace
