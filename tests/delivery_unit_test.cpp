// The pure pieces under delivery: what request data looks like in a log line, and stdin lines too
// long to hold.

#include "channel/log_text.h"
#include "server/line_reader.h"

#include <gtest/gtest.h>

namespace {

TEST(LogText, ControlsAreEscapedAndLongValuesCut) {
  const std::string wide(150, 'w');
  std::string accents;  // 300 bytes of two-byte characters
  for (int i = 0; i < 150; ++i) {
    accents += "é";
  }
  const std::pair<std::string, std::string> cases[] = {
      {"olá — ✓", "olá — ✓"},
      {"a\nb\r\tc", "a\\nb\\r\\tc"},
      {"\x1b[31mred\x7f\x01", "\\x1b[31mred\\x7f\\x01"},
      {"csi \xc2\x9b"
       "2J",
       "csi \\u009b2J"},
      {"back\\slash", "back\\slash"},
      {wide + wide, wide + wide},
      {wide + wide + "x", wide + wide + "… (301 bytes)"},
      {accents, accents},
      {"a" + accents, "a" + accents.substr(0, 298) + "… (301 bytes)"},  // never half a character
      {"\n" + std::string(400, 'z'), "\\n" + std::string(299, 'z') + "… (401 bytes)"},
  };
  for (const auto& [value, logged] : cases) {
    EXPECT_EQ(logged, channel::loggedValue(value)) << value.substr(0, 20);
  }
  EXPECT_EQ("\\n" + std::string(400, 'z'), channel::escapeControls("\n" + std::string(400, 'z')));
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
