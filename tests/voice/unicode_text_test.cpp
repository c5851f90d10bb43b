#include "voice/unicode_text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace parley::voice::unicode {
namespace {

std::vector<std::string> clusterTexts(std::string_view text) {
  std::vector<std::string> result;
  for (const auto& c : characters(text))
    result.emplace_back(text.substr(c.begin, c.end - c.begin));
  return result;
}

TEST(UnicodeText, DecodesWellFormedSequencesAndRepairsIllFormedOnes) {
  const std::string text = "a\u00e9\u20ac\U0001F44D";
  std::vector<char32_t> values;
  for (std::size_t at = 0; at < text.size();) {
    const Scalar s = decodeAt(text, at);
    EXPECT_TRUE(s.isValid);
    values.push_back(s.value);
    at = s.end;
  }
  EXPECT_EQ(values, (std::vector<char32_t>{U'a', 0xE9, 0x20AC, 0x1F44D}));

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
  EXPECT_EQ(sanitized("ok\xF0\x9F\x91"), "ok\uFFFD");

  // Only the start of a well-formed sequence counts as still arriving.
  EXPECT_EQ(incompleteTailLength("ab\xC3"), 1u);
  EXPECT_EQ(incompleteTailLength("ab\xE2\x82"), 2u);
  EXPECT_EQ(incompleteTailLength("ab\xF0\x9F\x91"), 3u);
  EXPECT_EQ(incompleteTailLength("ab\xE2\x82\xAC"), 0u);
  EXPECT_EQ(incompleteTailLength("ab\xE0\x80"), 0u);  // can never become well-formed
  EXPECT_EQ(incompleteTailLength("\x80\x80\x80"), 0u);
  EXPECT_EQ(incompleteTailLength(""), 0u);
  EXPECT_EQ(sanitized("a\xC3(b"), "a\uFFFD(b");
}

TEST(UnicodeText, CharactersAreGraphemeClusters) {
  EXPECT_EQ(clusterTexts("e\u0301x"), (std::vector<std::string>{"e\u0301", "x"}));
  EXPECT_EQ(clusterTexts("a\r\nb"), (std::vector<std::string>{"a", "\r\n", "b"}));
  // Two flags are two characters, a family joined by ZWJ is one, and a skin
  // tone modifier belongs to its emoji.
  EXPECT_EQ(clusterTexts("\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7").size(), 2u);
  EXPECT_EQ(clusterTexts("\U0001F468\u200D\U0001F469\u200D\U0001F467").size(), 1u);
  EXPECT_EQ(clusterTexts("\U0001F44D\U0001F3FD!").size(), 2u);
  // Ill-formed bytes never join a neighbour, and nothing is lost.
  EXPECT_EQ(clusterTexts("a\xFF"
                         "b"),
            (std::vector<std::string>{"a", "\xFF", "b"}));
  EXPECT_TRUE(characters("").empty());

  const auto marked = characters("\u0301a");
  ASSERT_EQ(marked.size(), 2u);  // a mark with nothing before it stands alone
  EXPECT_FALSE(isLetter(marked[0].first));
  EXPECT_TRUE(characters("e\u0301")[0].first == U'e');
  EXPECT_FALSE(characters(".\u0301")[0].is(U'.'));
}

TEST(UnicodeText, LowerCasingIsFullAndPerScalarButNotFolding) {
  EXPECT_EQ(lowercased("HeLLo \u00c9T\u00c9"), "hello \u00e9t\u00e9");
  EXPECT_EQ(lowercased("\u1E9E"), "\u00df");            // capital sharp s
  EXPECT_EQ(lowercased("Stra\u00dfe"), "stra\u00dfe");  // sharp s is not "ss"
  EXPECT_EQ(lowercased("\u0130"), "i\u0307");           // dotted capital I keeps its dot
  EXPECT_EQ(lowercased("\u039F\u0394\u039F\u03A3"), "\u03BF\u03B4\u03BF\u03C3");
  EXPECT_EQ(lowercased("A\xFF"), "a\uFFFD");
}

TEST(UnicodeText, TrimsEveryKindOfWhiteSpace) {
  EXPECT_EQ(trimmed(" \t\n\u00a0\u3000word one\u2028\u0085\r\n"), "word one");
  EXPECT_EQ(trimmed(" \u00a0 "), "");
  EXPECT_EQ(trimmed("\u200Bzero\u200B"), "\u200Bzero\u200B");  // zero width space is not white
  EXPECT_EQ(composed("cafe\u0301"), "caf\u00e9");
  EXPECT_EQ(composed("plain"), "plain");
}

}  // namespace
}  // namespace parley::voice::unicode
