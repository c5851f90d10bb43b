// Reading Claude Code's input box off captured screens of the real program.
#include <gtest/gtest.h>

#include <regex>

#include "claude_code_session.hpp"

namespace parley::test {
namespace {

std::string plainFixture(const std::string& name) {
  static const std::regex escape("\x1b\\[[0-9;]*[A-Za-z]");
  return std::regex_replace(readFile(fixturePath("claude-code-2.1.222/screens/" + name)), escape,
                            "");
}

std::string rule() {
  std::string out;
  for (int i = 0; i < 40; ++i)
    out += "\u2500";
  return out;
}

TEST(InputBox, ReadsTheIdleAndThePastedBoxOfRealScreens) {
  for (const char* name : {"idle.ansi", "interrupted.ansi"}) {
    const std::string screen = plainFixture(name);
    EXPECT_TRUE(inputBoxVisible(screen)) << name;
    // The conversation above holds "❯ prompt" lines too; only the last one
    // with the no-break space is the box.
    EXPECT_EQ(inputBoxText(screen), "") << name;
  }
  const std::string pasted = plainFixture("paste_multiline.ansi");
  EXPECT_TRUE(inputBoxVisible(pasted));
  EXPECT_EQ(inputBoxText(pasted), "[Pasted text #1 +4 lines]");
}

TEST(InputBox, DialogsReplaceTheBox) {
  // Their "❯ 1." option markers are followed by a plain space.
  for (const char* name :
       {"perm_bash.ansi", "perm_danger.ansi", "perm_write.ansi", "question.ansi"}) {
    const std::string screen = plainFixture(name);
    EXPECT_FALSE(inputBoxVisible(screen)) << name;
    EXPECT_EQ(inputBoxText(screen), std::nullopt) << name;
  }
}

TEST(InputBox, JoinsWrappedRowsWithoutTheirIndent) {
  const std::string screen = "\u276F earlier prompt\n" + rule() +
                             "\n\u276F\u00A0first row of a long   \n" + "  prompt that wraps\n" +
                             rule() + "\n  footer\n";
  EXPECT_TRUE(inputBoxVisible(screen));
  EXPECT_EQ(inputBoxText(screen), "first row of a long\nprompt that wraps");
  // Without the rule below, the box is still being drawn.
  EXPECT_FALSE(inputBoxVisible(rule() + "\n\u276F\u00A0text\n"));
  EXPECT_FALSE(inputBoxVisible(""));
  EXPECT_EQ(inputBoxText("no box here\n"), std::nullopt);
}

}  // namespace
}  // namespace parley::test
