// The real Claude Code 2.1.222 in a private tmux pane, talking to the
// stand-in: the harness works end to end, and the facts that the dialog
// scraper and the prompt injector build on still hold.
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "claude_code_session.hpp"

namespace parley::test {
namespace {

namespace json = boost::json;

bool contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

// The transcript's user messages whose content is plain text.
std::vector<std::string> transcriptPrompts(const std::filesystem::path& transcript) {
  std::vector<std::string> out;
  for (const auto& line : readLines(transcript)) {
    json::error_code ec;
    const json::value entry = json::parse(line, ec);
    if (ec || !entry.is_object() || entry.at("type") != "user")
      continue;
    const json::value& content = entry.at("message").at("content");
    if (content.is_string())
      out.emplace_back(content.get_string());
  }
  return out;
}

TEST(ClaudeCodeSmoke, TypedPromptReachesTheStandInTheTranscriptAndTheAnswerTheScreen) {
  PARLEY_REQUIRE_CLAUDE_CODE();
  ClaudeCodeSession claude;
  RecordProperty("startup_ms", static_cast<int>(claude.startupTime().count()));
  EXPECT_EQ(readFile("/proc/" + std::to_string(claude.pid()) + "/comm"), "claude\n");
  claude.api().enqueue(Turn::text("## Result\n\nThe answer is **forty-two** in `main.cpp`."));

  const std::string prompt = "what is the answer to everything?";
  claude.submit(prompt);
  ASSERT_TRUE(claude.api().waitForMainRequests(1, std::chrono::seconds(30)));
  EXPECT_EQ(claude.api().mainRequests().at(0).userText(), prompt);
  // Markdown is rendered: the stars and backticks are gone.
  ASSERT_TRUE(claude.waitForText("The answer is forty-two in main.cpp."));
  ASSERT_TRUE(claude.waitForIdle());
  EXPECT_EQ(inputBoxText(claude.screen()), "");
  EXPECT_TRUE(contains(claude.screen(), "\u276F " + prompt)) << claude.screen();

  // A prompt longer than the box is wide wraps over several rows.
  std::string longPrompt = "please";
  for (int i = 0; i < 30; ++i)
    longPrompt += " rename variable" + std::to_string(i);
  claude.api().enqueue(Turn::text("Renamed them all."));
  claude.submit(longPrompt);
  ASSERT_TRUE(claude.api().waitForMainRequests(2, std::chrono::seconds(30)));
  EXPECT_EQ(claude.api().mainRequests().at(1).userText(), longPrompt);
  ASSERT_TRUE(claude.waitForText("Renamed them all."));

  std::optional<std::filesystem::path> transcript;
  ASSERT_TRUE(waitUntil([&] {
    transcript = claude.transcriptPath();
    return transcript && transcriptPrompts(*transcript).size() == 2;
  }));
  EXPECT_EQ(transcriptPrompts(*transcript), (std::vector<std::string>{prompt, longPrompt}));
  EXPECT_TRUE(transcript->string().starts_with((claude.home() / ".claude/projects").string()));

  const json::value session = json::parse(readFile(claude.sessionFilePath()));
  EXPECT_EQ(session.at("pid").as_int64(), claude.pid());
  EXPECT_EQ(json::value_to<std::string>(session.at("cwd")), claude.projectDir().string());
  EXPECT_EQ(session.at("version"), "2.1.222");
  EXPECT_TRUE(claude.api().unknownRequests().empty());
}

TEST(ClaudeCodeSmoke, WriteDialogRejectedByDigitSendsNoToolResultUntilTheNextPrompt) {
  PARLEY_REQUIRE_CLAUDE_CODE();
  ClaudeCodeSession claude;
  const auto notes = claude.projectDir() / "notes.txt";
  claude.api().enqueue(Turn::tools({ToolCall::write(notes.string(), "hello\n")}).then("Unused."));
  claude.api().enqueue(Turn::text("Understood."));
  claude.submit("write the notes");

  ASSERT_TRUE(claude.waitForText("Do you want to create notes.txt?"));
  EXPECT_TRUE(contains(claude.screen(), "2. Yes, allow all edits during this session (shift+tab)"))
      << claude.screen();
  claude.press({"3"});
  ASSERT_TRUE(claude.waitForText("User rejected write to notes.txt"));
  ASSERT_TRUE(claude.waitForIdle());
  EXPECT_FALSE(std::filesystem::exists(notes));
  EXPECT_EQ(claude.api().mainRequests().size(), 1u);

  // The rejection travels with the next prompt, in the same user message.
  claude.submit("never mind");
  ASSERT_TRUE(claude.waitForText("Understood."));
  const auto next = claude.api().mainRequests().at(1);
  ASSERT_EQ(next.toolResults().size(), 1u);
  EXPECT_TRUE(next.toolResults()[0].isError);
  EXPECT_TRUE(contains(next.userText(), "never mind")) << next.userText();
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
