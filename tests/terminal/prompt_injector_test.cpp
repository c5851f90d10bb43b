#include "terminal/prompt_injector.hpp"

#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "terminal_fixtures.hpp"
#include "tmux_server.hpp"

namespace parley::terminal {
namespace {

using test::TmuxServer;
using Error = PromptInjector::InjectionError;
using namespace std::chrono_literals;

std::string screen(const std::string& name) {
  return test::readFile(test::fixturePath("claude-code-2.1.222/screens/" + name + ".ansi"));
}

TEST(PromptInjectorInputBox, ReadsTheLastPromptLineOfRealScreens) {
  EXPECT_EQ(PromptInjector::inputBox(screen("idle")), "");
  EXPECT_EQ(PromptInjector::inputBox(screen("interrupted")),
            "");  // "❯ slow answer" above is history
  EXPECT_EQ(PromptInjector::inputBox(screen("paste_multiline")), "[Pasted text #1 +4 lines]");
  // A dialog replaces the box; its "❯ 1. Yes" marker is not the box.
  for (const char* covered : {"perm_bash", "perm_danger", "perm_write", "question"})
    EXPECT_FALSE(PromptInjector::inputBox(screen(covered))) << covered;
  EXPECT_FALSE(PromptInjector::inputBox("no prompt here\n"));
}

TEST(PromptInjectorInputBox, DropsDimPlaceholdersAndJoinsContinuationLines) {
  const std::string rule = "──────────";
  EXPECT_EQ(
      PromptInjector::inputBox(rule + "\n\x1b[39m❯\u00a0\x1b[2mTry \"refactor a.cpp\"\x1b[0m\n" +
                               rule + "\n  ? for shortcuts\n"),
      "");
  EXPECT_EQ(PromptInjector::inputBox("❯\u00a0older box\n❯ old prompt\n" + rule +
                                     "\n❯\u00a0first line\n  second \x1b[1mbold\x1b[0m\n\n"
                                     "  third\n" +
                                     rule + "\n  footer ❯ not a prompt\n"),
            "first line\nsecond bold\nthird");
  // A "❯" with an ordinary space is a prompt of the conversation or a menu's
  // marker.
  EXPECT_FALSE(PromptInjector::inputBox("❯ please run it\n" + rule + "\n ❯ 1. Yes\n"));
}

TEST(PromptInjectorReadBack, MatchesWhatTheBoxCanShowOfOurText) {
  // Runs of white space are equal; wrapping may split words; a long text may
  // be cut with an ellipsis.
  EXPECT_TRUE(PromptInjector::readBackMatches("fix the  bug\nin a.cpp", "fix the bug in a.cpp"));
  EXPECT_TRUE(PromptInjector::readBackMatches("see https://example.com/very/long/path",
                                              "see https://example.com/ve\nry/long/path"));
  EXPECT_TRUE(
      PromptInjector::readBackMatches("a long prompt about many things", "a long prompt a…"));
  EXPECT_TRUE(PromptInjector::readBackMatches("", ""));
  EXPECT_FALSE(PromptInjector::readBackMatches("", "x"));
  EXPECT_FALSE(PromptInjector::readBackMatches("abc", ""));
  EXPECT_FALSE(PromptInjector::readBackMatches("abc", "abd"));
  EXPECT_FALSE(PromptInjector::readBackMatches("a long prompt", "a short…"));
  // A box showing only an ellipsis shows none of our text.
  EXPECT_FALSE(PromptInjector::readBackMatches("anything", "…"));
  EXPECT_FALSE(PromptInjector::readBackMatches("half", "half typed"));
}

TEST(PromptInjectorReadBack, ImagesShowAsTheirMarkersBeforeTheText) {
  // As in the captured screen: "[Image #2] what is in this picture".
  EXPECT_TRUE(PromptInjector::readBackMatches(1, "what is in this picture",
                                              "[Image #2] what is in this picture"));
  EXPECT_TRUE(PromptInjector::readBackMatches(2, "", "[Image #1] [Image #2]"));
  EXPECT_TRUE(PromptInjector::readBackMatches(2, "", "[Image #3][Image #4] "));
  EXPECT_FALSE(PromptInjector::readBackMatches(2, "", "[Image #1]"));
  EXPECT_FALSE(PromptInjector::readBackMatches(1, "", "[Image #1] stray"));
  EXPECT_FALSE(PromptInjector::readBackMatches(1, "x", "[Image #] x"));
  EXPECT_FALSE(PromptInjector::readBackMatches(1, "x", "/tmp/a.png x"));
  // Without images, text that starts like a marker is just text.
  EXPECT_TRUE(PromptInjector::readBackMatches(0, "[Image #1] is wrong", "[Image #1] is wrong"));
}

TEST(PromptInjectorReadBack, AcceptsTheCollapsedFormOfExactlyThisPaste) {
  std::string tenLines;
  for (int i = 0; i < 10; ++i)
    tenLines += (i ? "\n" : "") + std::string("line ") + std::to_string(i);
  const std::string longLine(2000, 'x');
  EXPECT_TRUE(PromptInjector::readBackMatches(tenLines, "[Pasted text #1 +9 lines]"));
  EXPECT_TRUE(PromptInjector::readBackMatches(tenLines, "[Pasted text #12 +9 lines]"));
  EXPECT_TRUE(PromptInjector::readBackMatches(longLine, "[Pasted text #3]"));
  // The count must fit the text, and the placeholder must be all there is.
  EXPECT_FALSE(PromptInjector::readBackMatches(tenLines, "[Pasted text #1 +8 lines]"));
  EXPECT_FALSE(PromptInjector::readBackMatches(tenLines, "[Pasted text #1]"));
  EXPECT_FALSE(PromptInjector::readBackMatches(longLine, "[Pasted text #1 +1 lines]"));
  EXPECT_FALSE(PromptInjector::readBackMatches(tenLines, "hi [Pasted text #1 +9 lines]"));
  EXPECT_FALSE(PromptInjector::readBackMatches(tenLines, "[Pasted text #1 +9 lines] more"));
  EXPECT_FALSE(PromptInjector::readBackMatches(tenLines, "[Pasted text #x +9 lines]"));
  // A text Claude Code would show in full never matches a placeholder.
  EXPECT_FALSE(PromptInjector::readBackMatches("a\nb\nc", "[Pasted text #1 +2 lines]"));
  EXPECT_FALSE(PromptInjector::readBackMatches("short", "[Pasted text #1]"));
  // ...unless it is literally that text.
  EXPECT_TRUE(PromptInjector::readBackMatches("[Pasted text #1]", "[Pasted text #1]"));
}

TEST(PromptInjectorReadBack, CollapseRuleFoundWithTheRealProgram) {
  // More than two line feeds, or more than 800 UTF-16 code units, line feeds
  // included.
  EXPECT_FALSE(PromptInjector::pasteCollapses("a\nb\nc"));
  EXPECT_TRUE(PromptInjector::pasteCollapses("a\nb\nc\nd"));
  EXPECT_FALSE(PromptInjector::pasteCollapses(std::string(800, 'a')));
  EXPECT_TRUE(PromptInjector::pasteCollapses(std::string(801, 'a')));
  EXPECT_TRUE(PromptInjector::pasteCollapses(std::string(400, 'a') + "\n" + std::string(400, 'b')));
  std::string emoji;
  for (int i = 0; i < 400; ++i)
    emoji += "😀";
  EXPECT_FALSE(PromptInjector::pasteCollapses(emoji));  // 800 units
  EXPECT_TRUE(PromptInjector::pasteCollapses(emoji + "😀"));
  std::string accents;
  for (int i = 0; i < 700; ++i)
    accents += "é";  // 1400 bytes, 700 units
  EXPECT_FALSE(PromptInjector::pasteCollapses(accents));
}

TEST(PromptInjectorReadBack, PasteFormIsTrimmedTextWithLineFeedsAndNoOtherControls) {
  const struct {
    std::string in;
    std::string pasted;
  } cases[] = {
      {"\n  a\r\nb\rc\n\n ", "a\nb\nc"},
      {" \t\u00a0\n", ""},
      {"a\tb", "a\tb"},
      {"text \x1b[201~\rmore\x03\x03", "text \u241b[201~\nmore\u2403\u2403"},
      {std::string("\x1b]52;c;aGk=\x07 \x7f\0", 15), "\u241b]52;c;aGk=\u2407 \u2421\u2400"},
      {"c1 \u009b201~ \xc2", "c1 \ufffd201~ \ufffd"},
      {"\x9b"
       "201~",
       "\ufffd201~"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(PromptInjector::pasteForm(c.in), c.pasted) << c.in;
}

TEST(PromptInjectorReadBack, LiteralFormKeepsNoControlCharacterAtAll) {
  EXPECT_EQ(PromptInjector::literalForm(" a\tb\r\n\x1b[A\x03\xff "),
            " a\u2409b\u240d\u240a\u241b[A\u2403\ufffd ");
}

// The injector against a real tmux pane running a program that draws a
// Claude-like input box and logs what Enter submits.
class InjectorLive : public ::testing::Test {
 protected:
  std::string start(std::vector<std::string> flags = {}) {
    std::vector<std::string> argv{terminal_test::inputBoxStub().string(), log.string()};
    argv.insert(argv.end(), flags.begin(), flags.end());
    pane = server.newSession({.argv = argv}).id;
    EXPECT_TRUE(test::waitUntil([&] { return contains("escapes: 0"); }));
    return pane;
  }
  bool contains(const std::string& text) {
    return server.capture(pane).find(text) != std::string::npos;
  }
  std::vector<std::string> submitted() {
    std::vector<std::string> out;
    if (!std::filesystem::exists(log))
      return out;
    const std::string all = test::readFile(log);
    std::size_t start = 0;
    for (std::size_t end; (end = all.find('\0', start)) != std::string::npos; start = end + 1)
      out.push_back(all.substr(start, end - start));
    return out;
  }
  bool waitForSubmitted(std::size_t n) {
    return test::waitUntil([&] { return submitted().size() >= n; });
  }

  TmuxServer server;
  test::TempDir dir;
  std::filesystem::path log = dir / "submitted";
  std::string pane;
  TmuxClient client{TmuxClient::resolveExecutable(), server.socketPath().string()};
  // Generous: the read-back waits for a condition, it never sleeps this long.
  PromptInjector injector{client, 5000ms, 25ms};
};

TEST_F(InjectorLive, SubmitsExactlyThePromptOnceItIsReadBack) {
  start({"--collapse", "--placeholder", "Try \"fix lint errors\""});
  injector.inject("  Enter C-c: fix the bug in a.cpp  \n", pane, true);
  ASSERT_TRUE(waitForSubmitted(1));
  injector.inject("first\nsecond\r\nthird", pane, true);
  ASSERT_TRUE(waitForSubmitted(2));
  std::string tenLines;
  for (int i = 0; i < 10; ++i)
    tenLines += (i ? "\n" : "") + std::string("line ") + std::to_string(i);
  injector.inject(tenLines, pane, true);  // shown as "[Pasted text #1 +9 lines]"
  ASSERT_TRUE(waitForSubmitted(3));
  EXPECT_EQ(submitted(), (std::vector<std::string>{"Enter C-c: fix the bug in a.cpp",
                                                   "first\nsecond\nthird", tenLines}));
  // The box was on screen each time: no Escape, which in Claude Code would
  // interrupt a running turn or, twice, open the Rewind menu.
  EXPECT_TRUE(contains("escapes: 0"));
  EXPECT_EQ(client.run({"list-buffers"}).standardOutput, "");
}

TEST_F(InjectorLive, WithoutSubmitTheTextStaysInTheBox) {
  start();
  injector.inject("draft only", pane, false);
  EXPECT_EQ(injector.currentInput(pane), "draft only");
  EXPECT_TRUE(submitted().empty());
}

TEST_F(InjectorLive, BlankTextDoesNothingAtAll) {
  start();
  injector.inject(" \n\t ", pane, true);
  client.sendLiteral("x", pane);  // a marker that the pane has seen everything sent before
  ASSERT_TRUE(test::waitUntil([&] { return injector.currentInput(pane) == "x"; }));
  EXPECT_TRUE(contains("escapes: 0"));
}

TEST_F(InjectorLive, ATextThatNeverShowsUpIsNotSubmitted) {
  start({"--ignore-paste"});
  const PromptInjector impatient(client, 150ms, 25ms);
  try {
    impatient.inject("lost prompt", pane, true);
    FAIL() << "expected readBackTimeout";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), Error::Kind::readBackTimeout);
    EXPECT_EQ(e.subject(), "lost prompt");
    EXPECT_EQ(e.seen(), "");
  }
  client.sendLiteral("x", pane);
  ASSERT_TRUE(test::waitUntil([&] { return injector.currentInput(pane) == "x"; }));
  EXPECT_TRUE(submitted().empty());
}

TEST_F(InjectorLive, ACoveredOrHalfTypedBoxIsRefusedAndNoKeyIsPressed) {
  // The Escape that would uncover a box could as well deny a dialog.
  start({"--covered", "1"});
  auto refusal = [&](const char* text) {
    try {
      injector.inject(text, pane, true);
    } catch (const Error& e) {
      return e.kind();
    }
    ADD_FAILURE() << "injected " << text;
    return Error::Kind::tmux;
  };
  EXPECT_EQ(refusal("blind"), Error::Kind::noInputBox);
  client.sendKey("Escape", pane);  // a marker: everything sent before has arrived
  ASSERT_TRUE(test::waitUntil([&] { return contains("escapes: 1"); }));
  EXPECT_EQ(server.capture(pane).find("blind"), std::string::npos);

  // The person's half-typed text is theirs: not pasted over, not submitted.
  client.sendLiteral("half typed", pane);
  ASSERT_TRUE(test::waitUntil([&] { return injector.currentInput(pane) == "half typed"; }));
  EXPECT_EQ(refusal("from the phone"), Error::Kind::dirtyInputBox);
  client.sendLiteral("!", pane);
  ASSERT_TRUE(test::waitUntil([&] { return injector.currentInput(pane) == "half typed!"; }));
  EXPECT_TRUE(submitted().empty());
}

TEST_F(InjectorLive, AGonePaneIsReportedAsSuch) {
  start();
  try {
    injector.inject("hello", "%999", true);
    FAIL() << "expected paneGone";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), Error::Kind::paneGone);
    EXPECT_STREQ(e.what(), "pane %999 no longer exists");
  }
  EXPECT_THROW(injector.currentInput("%999"), TmuxClient::Failure);
}

}  // namespace
}  // namespace parley::terminal
