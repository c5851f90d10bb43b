#include "voice/transcript_accumulator.hpp"

#include <gtest/gtest.h>

namespace parley::voice {
namespace {

TEST(TranscriptAccumulator, JoinsFinalAndPartialTextIntoOneUtterance) {
  TranscriptAccumulator accumulator;
  EXPECT_TRUE(accumulator.isEmpty());

  accumulator.updateVolatile("run the");
  EXPECT_EQ(accumulator.joined(), "run the");
  EXPECT_FALSE(accumulator.isEmpty());

  accumulator.commitFinal("run the tests");
  EXPECT_EQ(accumulator.volatileText(), "");
  EXPECT_EQ(accumulator.finalized(), "run the tests");

  accumulator.updateVolatile("  and");
  EXPECT_EQ(accumulator.joined(), "run the tests and");
  accumulator.commitFinal("now");
  EXPECT_EQ(accumulator.joined(), "run the tests now");

  EXPECT_EQ(accumulator.drain(), "run the tests now");
  EXPECT_EQ(accumulator, TranscriptAccumulator{});
}

TEST(TranscriptAccumulator, BlankPiecesChangeNothingButDropThePartial) {
  TranscriptAccumulator accumulator;
  accumulator.commitFinal("first");
  accumulator.updateVolatile("sec");
  accumulator.commitFinal(" \n\u00a0");
  EXPECT_EQ(accumulator.finalized(), "first");
  EXPECT_EQ(accumulator.volatileText(), "");

  accumulator.updateVolatile("\t\u3000");
  EXPECT_EQ(accumulator.volatileText(), "");
  EXPECT_EQ(accumulator.joined(), "first");

  accumulator.reset();
  accumulator.updateVolatile("   ");
  EXPECT_TRUE(accumulator.isEmpty());
  EXPECT_EQ(accumulator.drain(), "");
}

TEST(TranscriptAccumulator, JoinAddsASpaceOnlyWhenNeeded) {
  EXPECT_EQ(TranscriptAccumulator::join("a", "b"), "a b");
  EXPECT_EQ(TranscriptAccumulator::join("a\n", "b"), "a\nb");
  EXPECT_EQ(TranscriptAccumulator::join("\u65E5\u672C\u3000", "\u8A9E"),
            "\u65E5\u672C\u3000\u8A9E");
  EXPECT_EQ(TranscriptAccumulator::join("", "b"), "b");
  EXPECT_EQ(TranscriptAccumulator::join("a", ""), "a");
  // A combining mark belongs to the letter before it; the space goes after.
  EXPECT_EQ(TranscriptAccumulator::join("cafe\u0301", "cr\u00e8me"), "cafe\u0301 cr\u00e8me");

  TranscriptAccumulator accumulator;
  accumulator.commitFinal("  Gr\u00fc\u00dfe\u00a0");
  accumulator.commitFinal("aus K\u00f6ln \U0001F44B ");
  EXPECT_EQ(accumulator.drain(), "Gr\u00fc\u00dfe aus K\u00f6ln \U0001F44B");
}

}  // namespace
}  // namespace parley::voice
