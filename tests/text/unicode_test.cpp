#include "text/unicode.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace parley::text {
namespace {

std::string hex(char32_t c) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(c));
  return buffer;
}

std::vector<std::string> clusterTexts(std::string_view text) {
  std::vector<std::string> result;
  for (const auto& c : characters(text))
    result.emplace_back(c.in(text));
  return result;
}

TEST(UnicodeText, CharactersAreGraphemeClusters) {
  EXPECT_EQ(clusterTexts("e\u0301x"), (std::vector<std::string>{"e\u0301", "x"}));
  EXPECT_EQ(clusterTexts("a\r\nb"), (std::vector<std::string>{"a", "\r\n", "b"}));
  // Two flags are two characters, a family joined by ZWJ is one, and a skin
  // tone modifier belongs to its emoji.
  EXPECT_EQ(clusterTexts("\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7").size(), 2u);
  EXPECT_EQ(clusterTexts("\U0001F468\u200D\U0001F469\u200D\U0001F467").size(), 1u);
  EXPECT_EQ(clusterTexts("\U0001F44D\U0001F3FD!").size(), 2u);
  // Ill-formed bytes read as U+FFFD: they never join a letter, nothing is
  // lost, and a mark after them joins them as it would join the repair.
  EXPECT_EQ(clusterTexts("a\xFF"
                         "b"),
            (std::vector<std::string>{"a", "\xFF", "b"}));
  EXPECT_EQ(clusterTexts("\xE2\x82\u0301x"), (std::vector<std::string>{"\xE2\x82\u0301", "x"}));
  EXPECT_TRUE(characters("").empty());

  const auto marked = characters("\u0301a");
  ASSERT_EQ(marked.size(), 2u);  // a mark with nothing before it stands alone
  EXPECT_FALSE(isLetter(marked[0].first));
  EXPECT_TRUE(characters("e\u0301")[0].first == U'e');
  EXPECT_FALSE(characters(".\u0301")[0].is(U'.'));
}

TEST(UnicodeText, CountsAndCutsInCharacters) {
  const std::string text = "e\u0301\U0001F468\u200D\U0001F469x";
  EXPECT_EQ(characterCount(text), 3u);
  EXPECT_EQ(characterTexts(text),
            (std::vector<std::string_view>{"e\u0301", "\U0001F468\u200D\U0001F469", "x"}));
  EXPECT_EQ(characterPrefix(text, 1), "e\u0301");
  EXPECT_EQ(characterPrefix(text, 2), "e\u0301\U0001F468\u200D\U0001F469");
  EXPECT_EQ(characterPrefix(text, 99), text);
  EXPECT_EQ(characterPrefix(text, 0), "");
  EXPECT_EQ(characterCount(""), 0u);
}

TEST(UnicodeText, ClassesFollowCategoriesAndProperties) {
  for (const char32_t letter : {U'a', U'Z', char32_t{0xE9}, char32_t{0x4E2D}, char32_t{0x2B0}})
    EXPECT_TRUE(isLetter(letter)) << hex(letter);
  for (const char32_t other : {U'1', U'_', char32_t{0x301}, replacementCharacter})
    EXPECT_FALSE(isLetter(other)) << hex(other);
  // Decimal digits of any script, letter-like and other numbers.
  for (const char32_t number : {U'7', char32_t{0x663}, char32_t{0x2163}, char32_t{0xBD}})
    EXPECT_TRUE(isNumber(number)) << hex(number);
  EXPECT_FALSE(isNumber(U'x'));
  EXPECT_TRUE(isLetterOrNumber(U'q'));
  EXPECT_FALSE(isLetterOrNumber(U'-'));

  // Case by the Lowercase and Uppercase properties: sharp s, a feminine
  // ordinal and circled letters have case; digits and CJK do not.
  for (const char32_t lower : {U'a', char32_t{0xDF}, char32_t{0xAA}, char32_t{0x24D0}}) {
    EXPECT_TRUE(isLowercase(lower)) << hex(lower);
    EXPECT_FALSE(isUppercase(lower)) << hex(lower);
  }
  for (const char32_t upper : {U'A', char32_t{0x1E9E}, char32_t{0x130}, char32_t{0x24B6}}) {
    EXPECT_TRUE(isUppercase(upper)) << hex(upper);
    EXPECT_FALSE(isLowercase(upper)) << hex(upper);
  }
  for (const char32_t caseless : {U'1', U' ', char32_t{0x4E2D}, char32_t{0x1C5}}) {
    EXPECT_FALSE(isLowercase(caseless)) << hex(caseless);
    EXPECT_FALSE(isUppercase(caseless)) << hex(caseless);
  }

  // White space is the White_Space property; newlines are a subset of it;
  // horizontal space is tab and the space separators only.
  for (const char32_t space : {U' ', U'\t', U'\n', char32_t{0x85}, char32_t{0xA0}, char32_t{0x2028},
                               char32_t{0x3000}, char32_t{0x200A}})
    EXPECT_TRUE(isWhitespace(space)) << hex(space);
  for (const char32_t other : {U'x', char32_t{0x200B}, char32_t{0x180E}, char32_t{0x1F}})
    EXPECT_FALSE(isWhitespace(other)) << hex(other);
  for (const char32_t newline : {U'\n', U'\r', U'\v', char32_t{0x85}, char32_t{0x2029}})
    EXPECT_TRUE(isNewline(newline)) << hex(newline);
  EXPECT_FALSE(isNewline(U' '));
  EXPECT_TRUE(isHorizontalSpace(U'\t'));
  EXPECT_TRUE(isHorizontalSpace(0x3000));
  EXPECT_FALSE(isHorizontalSpace(U'\n'));
  EXPECT_FALSE(isHorizontalSpace(0x2028));
}

TEST(UnicodeText, LowerCasingIsFullAndPerScalarButNotFolding) {
  EXPECT_EQ(lowercased("HeLLo \u00c9T\u00c9"), "hello \u00e9t\u00e9");
  EXPECT_EQ(lowercased("\u1E9E"), "\u00df");            // capital sharp s
  EXPECT_EQ(lowercased("Stra\u00dfe"), "stra\u00dfe");  // sharp s is not "ss"
  EXPECT_EQ(lowercased("\u0130"), "i\u0307");           // dotted capital I keeps its dot
  EXPECT_EQ(lowercased("\u039F\u0394\u039F\u03A3"), "\u03BF\u03B4\u03BF\u03C3");
  EXPECT_EQ(lowercased("YES, Don’t"), "yes, don’t");
  EXPECT_EQ(lowercased("A\xFF"), "a\uFFFD");
  EXPECT_EQ(lowercased("A\xE2\x82"), "a\uFFFD");
}

TEST(UnicodeText, ComposesCanonically) {
  EXPECT_EQ(composed("cafe\u0301"), "caf\u00e9");
  EXPECT_EQ(composed("plain"), "plain");
  EXPECT_EQ(composed("e\u0301\xFF"), "\u00e9\uFFFD");
}

TEST(UnicodeText, TrimsEachKindOfSpaceAndKeepsTheInside) {
  EXPECT_EQ(trimmed(" \t\n\u00a0\u3000word one\u2028\u0085\r\n"), "word one");
  EXPECT_EQ(trimmed("\xc2\xa0 a b\t\n\xe2\x80\xa8"), "a b");
  EXPECT_EQ(trimmed(" \u00a0 "), "");
  EXPECT_EQ(trimmed("\u200Bzero\u200B"), "\u200Bzero\u200B");  // zero width space is not white
  EXPECT_EQ(trimmed("\xFF "), "\xFF");                         // ill-formed bytes are not white

  EXPECT_EQ(trimmedHorizontal("\t\u00a0\u3000 a \n b \u2002"), "a \n b");
  EXPECT_EQ(trimmedHorizontal("\nx\n"), "\nx\n");
  EXPECT_EQ(trimmedHorizontal(" \t "), "");

  EXPECT_EQ(trimmedSpacesAndTabs("\xc2\xa0 a \t"), "\xc2\xa0 a");
  EXPECT_EQ(trimmedSpacesAndTabs("\t\n \t"), "\n");
  EXPECT_EQ(trimmedSpacesAndTabs(" \t"), "");
}

TEST(UnicodeText, SplitsOnWhiteSpaceRunsOrOnAnExactSeparator) {
  EXPECT_EQ(splitWhitespace(" a\xc2\xa0"
                            "b\n\nc "),
            (std::vector<std::string_view>{"a", "b", "c"}));
  EXPECT_TRUE(splitWhitespace(" \u3000\n").empty());
  EXPECT_EQ(splitWhitespace("\xFF\xFE"), (std::vector<std::string_view>{"\xFF\xFE"}));

  EXPECT_EQ(split("a::b:", ":"), (std::vector<std::string_view>{"a", "", "b", ""}));
  EXPECT_EQ(split("a\x01\x01"
                  "b",
                  "\x01\x01"),
            (std::vector<std::string_view>{"a", "b"}));
  EXPECT_EQ(split("", ","), (std::vector<std::string_view>{""}));
  EXPECT_EQ(split(std::string_view("k=v\0x=y", 7), std::string_view("\0", 1)),
            (std::vector<std::string_view>{"k=v", "x=y"}));
  // An empty separator cannot split (and must not loop).
  EXPECT_EQ(split("abc", ""), (std::vector<std::string_view>{"abc"}));
}

}  // namespace
}  // namespace parley::text
