#include "base/text.h"

#include "base/json.h"
#include "platform/text.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(Utf8, IllFormedBytesBecomeOneReplacementEach) {
  const std::string R = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"},
      {"ã—✓", "ã—✓"},
      {"\xFF", R},
      {"a\xC3", "a" + R},                   // truncated two-byte sequence at the end
      {"\xE2\x9C", R},                      // truncated three-byte sequence is one unit
      {"\xE2\x9C\x61", R + "a"},            // the same, an "a" after it
      {"\xED\xA0\x80", R + R + R},          // a surrogate is not a valid prefix past its lead
      {"\xC0\xAF", R + R},                  // overlong
      {"\xF4\x90\x80\x80", R + R + R + R},  // above U+10FFFF
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
  };
  for (const auto& [in, want] : cases) {
    SCOPED_TRACE(testing::PrintToString(in));
    EXPECT_EQ(want, platform::sanitizeUtf8(in));
    EXPECT_EQ(in == want, platform::isValidUtf8(in));
  }
}

TEST(Trim, UnicodeSpaceAndHorizontalSpace) {
  const std::tuple<std::string, std::string, std::string> cases[] = {
      // input, trimUnicodeSpace, trimHorizontalSpace
      {" \t\r\nhi there\n\r\t ", "hi there", "\r\nhi there\n\r"},
      {"\xC2\xA0x\xE3\x80\x80", "x", "x"},                      // NBSP, ideographic space
      {"\xE2\x80\xA8x\xC2\x85", "x", "\xE2\x80\xA8x\xC2\x85"},  // line separator, NEL
      {"   ", "", ""},
      {"", "", ""},
      {"ã", "ã", "ã"},
  };
  for (const auto& [in, unicode, horizontal] : cases) {
    SCOPED_TRACE(testing::PrintToString(in));
    EXPECT_EQ(unicode, platform::trimUnicodeSpace(in));
    EXPECT_EQ(horizontal, platform::trimHorizontalSpace(in));
  }
}

TEST(Path, LastComponent) {
  const std::pair<const char*, const char*> cases[] = {
      {"/work/proj", "proj"},
      {"/work/proj/", "proj"},
      {"/work/proj///", "proj"},
      {"/", "/"},
      {"///", "/"},
      {"", ""},
      {"proj", "proj"},
      {"/usr/bin/corvane-run", "corvane-run"},
  };
  for (const auto& [in, want] : cases) {
    EXPECT_EQ(want, platform::lastPathComponent(in)) << in;
  }
}

TEST(Decimal, SignDigitsAndRange) {
  long long v = 0;
  EXPECT_TRUE(platform::parseDecimal("9223372036854775807", &v));
  EXPECT_EQ(LLONG_MAX, v);
  EXPECT_TRUE(platform::parseDecimal("-9223372036854775808", &v));
  EXPECT_EQ(LLONG_MIN, v);
  EXPECT_TRUE(platform::parseDecimal("+12", &v));
  EXPECT_EQ(12, v);
  for (const char* bad : {"9223372036854775808", "-9223372036854775809", "", "+", "-", " 1", "1 ",
                          "1a", "0x10", "++1", "1.0"}) {
    EXPECT_FALSE(platform::parseDecimal(bad, &v)) << bad;
  }
}

TEST(Chars, CountCutAndLower) {
  const std::tuple<std::string, size_t, std::string, std::string> cases[] = {
      // text, characters, its first two then "…" when longer, lower-cased
      {"", 0, "", ""},
      {"Ab", 2, "Ab", "ab"},
      {"AbC", 3, "Ab…", "abc"},
      {"ÃÉ✓", 3, "ÃÉ…", "ÃÉ✓"},  // only ASCII letters change case
      {"a\xF0\x9F\x98\x80Z", 3, "a\xF0\x9F\x98\x80…", "a\xF0\x9F\x98\x80z"},
      {"@[`{", 4, "@[…", "@[`{"},  // the bytes beside A-Z stay
  };
  for (const auto& [text, chars, cut, lower] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(chars, base::charCount(text));
    EXPECT_EQ(cut, base::cutChars(text, 2, "…"));
    EXPECT_EQ(lower, base::asciiLower(text));
  }
  EXPECT_EQ("ÃÉ", base::cutChars("ÃÉ✓", 2));
  EXPECT_EQ("", base::cutChars("abc", 0));
}

TEST(JsonArgs, StringsAndWholeNumbers) {
  const std::tuple<const char*, std::optional<std::string>, std::optional<long long>> cases[] = {
      // the value of "k", stringArg, wholeNumber
      {"\"x\"", "x", std::nullopt},
      {"\"\"", "", std::nullopt},
      {"3", std::nullopt, 3},
      {"-3.0", std::nullopt, -3},
      {"3.5", std::nullopt, std::nullopt},
      {"1e300", std::nullopt, std::nullopt},
      {"9223372036854775807", std::nullopt, LLONG_MAX},
      {"9223372036854775808", std::nullopt, std::nullopt},
      {"null", std::nullopt, std::nullopt},
      {"[\"x\"]", std::nullopt, std::nullopt},
      {"true", std::nullopt, std::nullopt},
  };
  for (const auto& [value, text, whole] : cases) {
    SCOPED_TRACE(value);
    base::Json object = base::Json::parse(std::string("{\"k\":") + value + "}");
    EXPECT_EQ(text, base::stringArg(object, "k"));
    EXPECT_EQ(std::nullopt, base::stringArg(object, "other"));
    EXPECT_EQ(whole, base::wholeNumber(object["k"]));
  }
}

}  // namespace
