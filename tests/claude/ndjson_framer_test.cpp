#include "claude/ndjson_framer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace parley::claude {
namespace {

using Lines = std::vector<std::string>;

TEST(NDJSONFramer, CutsLinesInOrderWhateverTheWriteBoundaries) {
  NDJSONFramer framer;
  EXPECT_EQ(framer.append("{\"a\":1}\n{\"b\":2}\n"), (Lines{"{\"a\":1}", "{\"b\":2}"}));

  const std::string object = "{\"hook_event_name\":\"Stop\"}";
  Lines cut;
  for (const char c : object + "\n" + object) {
    for (std::string& line : framer.append(std::string(1, c)))
      cut.push_back(line);
  }
  EXPECT_EQ(cut, (Lines{object}));
  EXPECT_EQ(framer.pendingBytes(), object.size());
  EXPECT_EQ(framer.finish(), (Lines{object}));
  EXPECT_EQ(framer.pendingBytes(), 0u);
  EXPECT_TRUE(framer.finish().empty());
}

TEST(NDJSONFramer, SkipsBlankLinesKeepsCarriageReturnsAndFinishesWithoutAWhitespaceTail) {
  NDJSONFramer framer;
  EXPECT_EQ(framer.append("\n{\"a\":1}\r\n\n\r\n  \t\n{\"b\":2}\n \r\n  "),
            (Lines{"{\"a\":1}\r", "{\"b\":2}"}));
  EXPECT_TRUE(framer.finish().empty());
  framer.append(" \r\n{\"c\":3}");
  EXPECT_EQ(framer.finish(), (Lines{"{\"c\":3}"}));
}

TEST(NDJSONFramer, HoldsExactlyMaxFramePendingBytesAndOverflowsOnTheNext) {
  NDJSONFramer framer;
  const std::string chunk(65536, 'x');
  EXPECT_EQ(framer.append("{\"done\":1}\n"), (Lines{"{\"done\":1}"}));
  for (std::size_t sent = 0; sent < NDJSONFramer::maxFrame; sent += chunk.size())
    EXPECT_TRUE(framer.append(chunk).empty());
  EXPECT_EQ(framer.pendingBytes(), NDJSONFramer::maxFrame);
  EXPECT_FALSE(framer.overflowed());

  // The held line still completes normally.
  NDJSONFramer copy = framer;
  const Lines completed = copy.append("\n");
  ASSERT_EQ(completed.size(), 1u);
  EXPECT_EQ(completed[0].size(), NDJSONFramer::maxFrame);

  EXPECT_TRUE(framer.append("x").empty());
  EXPECT_TRUE(framer.overflowed());
  EXPECT_EQ(framer.pendingBytes(), 0u);
}

TEST(NDJSONFramer, AnOversizeLineOverflowsEvenWithItsFeedAndLinesBeforeItStillCount) {
  NDJSONFramer framer;
  const std::string oversize(NDJSONFramer::maxFrame + 1, 'x');
  EXPECT_EQ(framer.append("{\"a\":1}\n" + oversize + "\n{\"b\":2}\n"), (Lines{"{\"a\":1}"}));
  EXPECT_TRUE(framer.overflowed());
  EXPECT_EQ(framer.pendingBytes(), 0u);

  NDJSONFramer unended;
  EXPECT_EQ(unended.append("{\"a\":1}\n" + oversize), (Lines{"{\"a\":1}"}));
  EXPECT_TRUE(unended.overflowed());

  NDJSONFramer held;
  EXPECT_TRUE(held.append(std::string(NDJSONFramer::maxFrame, 'x')).empty());
  EXPECT_TRUE(held.append("x\n").empty());
  EXPECT_TRUE(held.overflowed());
}

}  // namespace
}  // namespace parley::claude
