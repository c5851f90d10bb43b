#include "text/utf8.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace parley::text {
namespace {

TEST(Utf8, DecodesWellFormedSequencesAndRepairsIllFormedOnes) {
  const std::string text = "a\u00e9\u20ac\U0001F44D";
  std::vector<char32_t> values;
  for (std::size_t at = 0; at < text.size();) {
    const Scalar s = decodeAt(text, at);
    EXPECT_TRUE(s.isValid);
    values.push_back(s.value);
    at = s.end;
  }
  EXPECT_EQ(values, (std::vector<char32_t>{U'a', 0xE9, 0x20AC, 0x1F44D}));
  // Noncharacters and private use are well-formed scalars.
  EXPECT_TRUE(isValidUtf8("\uFFFE\U0010FFFF\uE000\uFDD0"));

  // A lone continuation byte, an overlong lead, leads beyond U+10FFFF:
  // each ill-formed byte is one replacement character.
  for (const std::string bad : {"\x80", "\xC0", "\xF5", "\xFF"}) {
    const Scalar s = decodeAt(bad, 0);
    EXPECT_FALSE(s.isValid);
    EXPECT_EQ(s.value, replacementCharacter);
    EXPECT_EQ(s.end, 1u);
  }
  // ED A0 is the start of a UTF-16 surrogate: ED alone is the maximal subpart.
  EXPECT_EQ(decodeAt("\xED\xA0\x80", 0).end, 1u);
  // A sequence cut off at the end of the text stays one unit.
  const Scalar truncated = decodeAt("\xF0\x9F\x91", 0);
  EXPECT_FALSE(truncated.isValid);
  EXPECT_EQ(truncated.end, 3u);
}

TEST(Utf8, RepairGivesOneReplacementPerMaximalSubpart) {
  EXPECT_EQ(toValidUtf8("plain “quoted” 🙂"), "plain “quoted” 🙂");
  EXPECT_EQ(toValidUtf8(""), "");
  EXPECT_EQ(toValidUtf8("a\xFF"
                        "b"),
            "a\uFFFD"
            "b");
  EXPECT_EQ(toValidUtf8("\xC0\xAF"), "\uFFFD\uFFFD");                      // overlong "/"
  EXPECT_EQ(toValidUtf8("\xED\xA0\x80"), "\uFFFD\uFFFD\uFFFD");            // surrogate
  EXPECT_EQ(toValidUtf8("\xE2\x82"), "\uFFFD");                            // truncated "€"
  EXPECT_EQ(toValidUtf8("\xF4\x90\x80\x80"), "\uFFFD\uFFFD\uFFFD\uFFFD");  // > U+10FFFF
  EXPECT_EQ(toValidUtf8("ok\xF0\x9F\x91"), "ok\uFFFD");
  EXPECT_EQ(toValidUtf8("a\xC3(b"), "a\uFFFD(b");
  // A cut sequence in the middle is one unit too; what follows is kept.
  EXPECT_EQ(toValidUtf8("\xE2\x82x\xE2\x82\xAC"), "\uFFFDx€");

  for (const std::string bad : {"\x80", "\xE2\x82", "a\xC3(b", "\xED\xA0\x80"}) {
    EXPECT_FALSE(isValidUtf8(bad)) << bad;
    EXPECT_TRUE(isValidUtf8(toValidUtf8(bad))) << bad;
  }
  EXPECT_TRUE(isValidUtf8(""));
}

TEST(Utf8, OnlyTheStartOfAWellFormedSequenceCountsAsStillArriving) {
  EXPECT_EQ(incompleteTailLength("ab\xC3"), 1u);
  EXPECT_EQ(incompleteTailLength("ab\xE2\x82"), 2u);
  EXPECT_EQ(incompleteTailLength("ab\xF0\x9F\x91"), 3u);
  EXPECT_EQ(incompleteTailLength("ab\xE2\x82\xAC"), 0u);
  EXPECT_EQ(incompleteTailLength("ab\xE0\x80"), 0u);  // can never become well-formed
  EXPECT_EQ(incompleteTailLength("\x80\x80\x80"), 0u);
  EXPECT_EQ(incompleteTailLength(""), 0u);
}

TEST(Utf8, EncodesAndCountsUtf16UnitsAsJavaScriptDoes) {
  std::string out;
  for (const char32_t c : {U'a', char32_t{0xE9}, char32_t{0x20AC}, char32_t{0x1F44D}})
    appendUtf8(out, c);
  EXPECT_EQ(out, "a\u00e9\u20ac\U0001F44D");

  EXPECT_EQ(utf16Length("a😀é"), 4u);
  EXPECT_EQ(utf16Length(""), 0u);
  // Each ill-formed sequence is one U+FFFD, one unit.
  EXPECT_EQ(utf16Length("\xE2\x82z\xFF"), 3u);
}

}  // namespace
}  // namespace parley::text
