#include "terminal/ansi_text.hpp"

#include <gtest/gtest.h>

namespace parley::terminal {
namespace {

using AnsiText::Segment;

TEST(AnsiText, DimRunsOpenAndCloseOnSgrTwoZeroAndTwentyTwo) {
  EXPECT_EQ(AnsiText::segments("a\x1b[2mb\x1b[0mc"),
            (std::vector<Segment>{{"a", false}, {"b", true}, {"c", false}}));
  // 1 is ignored, 2 turns dim on, 22 closes the run.
  EXPECT_EQ(AnsiText::segments("\x1b[1;2mx\x1b[22m"), (std::vector<Segment>{{"x", true}}));
  // An empty parameter list is a reset.
  EXPECT_EQ(AnsiText::segments("\x1b[2m\x1b[mx"), (std::vector<Segment>{{"x", false}}));
  // A reset closes the run even when nothing changes, so neighbours may share
  // a dim value; empty runs are never emitted.
  EXPECT_EQ(AnsiText::segments("a\x1b[0mb"), (std::vector<Segment>{{"a", false}, {"b", false}}));
  EXPECT_EQ(AnsiText::segments("\x1b[2m\x1b[0m\x1b[2m"), std::vector<Segment>{});
  // Empty pieces between semicolons are dropped; junk parameters read as 0.
  EXPECT_EQ(AnsiText::segments("\x1b[2mq\x1b[;+;mz"),
            (std::vector<Segment>{{"q", true}, {"z", false}}));
}

TEST(AnsiText, ColoursAndNonSgrSequencesVanishWithoutEffect) {
  EXPECT_EQ(AnsiText::stripped("\x1b[31mred\x1b[0m\x1b[2K"), "red");
  EXPECT_EQ(AnsiText::segments("\x1b[38;5;246mgrey\x1b[39m text"),
            (std::vector<Segment>{{"grey text", false}}));
  EXPECT_EQ(AnsiText::stripped("a\x1b[?25hb\x1b[12;40Hc"), "abc");
}

TEST(AnsiText, BrokenEscapesAtTheEndOrWithoutBracketAreDropped) {
  EXPECT_EQ(AnsiText::stripped("abc\x1b"), "abc");
  EXPECT_EQ(AnsiText::stripped("abc\x1b[12"), "abc");
  // ESC not followed by "[" goes alone; the next character is ordinary text.
  EXPECT_EQ(AnsiText::stripped("a\x1b"
                               "7b\x1b]0;t"),
            "a7b]0;t");
  EXPECT_TRUE(AnsiText::segments("").empty());
}

TEST(AnsiText, NonAsciiTextSurvivesAndParametersEndAtAnyLetter) {
  EXPECT_EQ(AnsiText::stripped("\x1b[38;5;174m❯\xc2\xa0héllo 😀\x1b[39m"), "❯\xc2\xa0héllo 😀");
  // A non-ASCII letter ends a control sequence as well.
  EXPECT_EQ(AnsiText::stripped("\x1b[1éx"), "x");
  // A combining mark right after a sequence is text: it neither hides the
  // sequence's final letter nor vanishes with it.
  EXPECT_EQ(AnsiText::segments("a\x1b[2m\u0301b\x1b[0mc"),
            (std::vector<Segment>{{"a", false}, {"\u0301b", true}, {"c", false}}));
  EXPECT_EQ(AnsiText::stripped("\x1b[1e\u0301x"), "\u0301x");
  // Malformed UTF-8 becomes U+FFFD instead of breaking the walk, one for
  // each ill-formed sequence: a cut-off "€" is one character, as on the phone.
  EXPECT_EQ(AnsiText::stripped("a\xff\x1b[2mb"),
            "a\xef\xbf\xbd"
            "b");
  EXPECT_EQ(AnsiText::stripped("a\xe2\x82\x1b[2mb"),
            "a\xef\xbf\xbd"
            "b");
}

TEST(AnsiText, RealTextDropsDimRuns) {
  const std::string line = "\x1b[39m❯ \x1b[2mTry \"fix lint errors\"\x1b[0m";
  EXPECT_EQ(AnsiText::realText(line), "❯ ");
  EXPECT_EQ(AnsiText::stripped(line), "❯ Try \"fix lint errors\"");
}

}  // namespace
}  // namespace parley::terminal
