#include "text/utf8.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace parley::text {
namespace {

// Each ill-formed maximal subpart reads as one U+FFFD, and JavaScript counts
// it as one UTF-16 unit.
TEST(Utf8, RepairsEachMaximalSubpartAndCountsUtf16UnitsAsJavaScriptDoes) {
  const struct {
    std::string in;
    std::string valid;
    std::size_t utf16;
  } cases[] = {
      {"plain “quoted” 🙂", "plain “quoted” 🙂", 17},
      {"", "", 0},
      {"\uFFFE\U0010FFFF\uE000\uFDD0", "\uFFFE\U0010FFFF\uE000\uFDD0", 5},  // noncharacters
      {"a\xFF"
       "b",
       "a\uFFFD"
       "b",
       3},
      {"\x80\xC0\xF5", "\uFFFD\uFFFD\uFFFD", 3},            // continuation, bad leads
      {"\xC0\xAF", "\uFFFD\uFFFD", 2},                      // overlong "/"
      {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD", 3},            // surrogate
      {"\xF4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD", 4},  // beyond U+10FFFF
      {"ok\xF0\x9F\x91", "ok\uFFFD", 3},                    // cut off at the end
      {"\xE2\x82x\xE2\x82\xAC", "\uFFFDx€", 3},             // cut off in the middle
      {"a\xC3(b", "a\uFFFD(b", 4},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(toValidUtf8(c.in), c.valid) << c.in;
    EXPECT_EQ(isValidUtf8(c.in), c.in == c.valid) << c.in;
    EXPECT_EQ(utf16Length(c.in), c.utf16) << c.in;
  }
  const Scalar truncated = decodeAt("\xF0\x9F\x91", 0);
  EXPECT_FALSE(truncated.isValid);
  EXPECT_EQ(truncated.value, replacementCharacter);
  EXPECT_EQ(truncated.end, 3u);
}

TEST(Utf8, DecodesAndEncodesScalarsOfEveryLength) {
  const std::vector<char32_t> values{U'a', 0xE9, 0x20AC, 0x1F44D};
  std::string text;
  for (const char32_t c : values)
    appendUtf8(text, c);
  EXPECT_EQ(text, "a\u00e9\u20ac\U0001F44D");
  std::vector<char32_t> decoded;
  for (std::size_t at = 0; at < text.size();) {
    const Scalar s = decodeAt(text, at);
    EXPECT_TRUE(s.isValid);
    decoded.push_back(s.value);
    at = s.end;
  }
  EXPECT_EQ(decoded, values);
}

TEST(Utf8, OnlyTheStartOfAWellFormedSequenceCountsAsStillArriving) {
  const std::pair<std::string, std::size_t> cases[] = {
      {"ab\xC3", 1},         {"ab\xE2\x82", 2}, {"ab\xF0\x9F\x91", 3},
      {"ab\xE2\x82\xAC", 0}, {"ab\xE0\x80", 0},  // can never become well-formed
      {"\x80\x80\x80", 0},   {"", 0},
  };
  for (const auto& [text, length] : cases)
    EXPECT_EQ(incompleteTailLength(text), length) << text;
}

}  // namespace
}  // namespace parley::text
