// The real Claude Code 2.1.222 in a private tmux pane, talking to the
// stand-in: the paste rules the prompt injector's read-back builds on still
// hold.
#include <gtest/gtest.h>

#include "claude_code_session.hpp"

namespace parley::test {
namespace {

bool contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

TEST(ClaudeCodeSmoke, PastedTextCollapsesByLinesAndLengthAndSubmitsWhole) {
  PARLEY_REQUIRE_CLAUDE_CODE();
  ClaudeCodeSession claude;
  const auto box = [&] { return inputBoxText(claude.screen()).value_or("<no input box>"); };
  const auto clearBox = [&] {
    claude.press({"Escape", "Escape"});
    return claude.waitForScreen([](const std::string& s) { return inputBoxText(s) == ""; },
                                std::chrono::seconds(10), "an empty input box");
  };

  // Three lines stay literal; the fourth line collapses them, counting the
  // line breaks.
  claude.paste("one\ntwo\nthree");
  ASSERT_TRUE(claude.waitForScreen(
      [](const std::string& s) { return inputBoxText(s) == "one\ntwo\nthree"; },
      std::chrono::seconds(10), "three literal lines"));
  ASSERT_TRUE(clearBox());
  claude.paste("one\ntwo\nthree\nfour");
  ASSERT_TRUE(claude.waitForScreen(
      [](const std::string& s) { return inputBoxText(s) == "[Pasted text #1 +3 lines]"; },
      std::chrono::seconds(10), "the collapsed paste #1"));
  ASSERT_TRUE(clearBox());

  // 800 characters on one line stay literal (wrapped); 801 collapse, and the
  // number counts collapsed pastes, cleared ones included.
  claude.paste(std::string(800, 'a'));
  ASSERT_TRUE(
      claude.waitForScreen([](const std::string& s) { return contains(s, std::string(100, 'a')); },
                           std::chrono::seconds(10), "800 literal characters"));
  const std::string literal = box();
  EXPECT_EQ(std::count(literal.begin(), literal.end(), 'a'), 800) << literal;
  ASSERT_TRUE(clearBox());
  claude.paste(std::string(801, 'b'));
  ASSERT_TRUE(claude.waitForScreen(
      [](const std::string& s) { return inputBoxText(s) == "[Pasted text #2]"; },
      std::chrono::seconds(10), "the collapsed paste #2"));
  ASSERT_TRUE(clearBox());

  // Enter on a collapsed paste submits the whole text.
  const std::string text = "line 1\nline 2\nline 3\nline 4\nline 5";
  claude.api().enqueue(Turn::text("Got five lines."));
  claude.paste(text);
  ASSERT_TRUE(claude.waitForScreen(
      [](const std::string& s) { return inputBoxText(s) == "[Pasted text #3 +4 lines]"; },
      std::chrono::seconds(10), "the collapsed paste #3"));
  claude.press({"Enter"});
  ASSERT_TRUE(claude.api().waitForMainRequests(1, std::chrono::seconds(30)));
  EXPECT_EQ(claude.api().mainRequests().at(0).userText(), text);
  EXPECT_TRUE(claude.waitForText("Got five lines."));
}

}  // namespace
}  // namespace parley::test
