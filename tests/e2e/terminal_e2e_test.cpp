// The terminal layer against the real Claude Code 2.1.222 in a private tmux
// pane: discovery finds it, the injector types prompts that arrive exactly,
// a dirty input box is left alone, and real permission dialogs are scraped
// and answered by digit.

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/json.hpp>

#include "claude_code_session.hpp"
#include "terminal/dialog_scraper.hpp"
#include "terminal/prompt_injector.hpp"
#include "terminal/session_registry.hpp"

namespace parley::terminal {
namespace {

namespace asio = boost::asio;
namespace json = boost::json;
using Kind = protocol::PermissionOption::Kind;
using test::ClaudeCodeSession;
using test::ToolCall;
using test::Turn;
using namespace std::chrono_literals;

// The user prompts of a transcript, in order.
std::vector<std::string> transcriptPrompts(const std::filesystem::path& transcript) {
  std::vector<std::string> out;
  for (const auto& line : test::readLines(transcript)) {
    json::error_code ec;
    const json::value entry = json::parse(line, ec);
    if (ec || !entry.is_object() || !entry.as_object().contains("type") ||
        entry.at("type") != "user")
      continue;
    const json::value& content = entry.at("message").at("content");
    if (content.is_string())
      out.emplace_back(content.get_string());
  }
  return out;
}

class RealClaudeCode : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::installedClaudeCode())
      GTEST_SKIP() << test::claudeCodeMissingMessage();
    claude = std::make_unique<ClaudeCodeSession>();
    client.emplace(TmuxClient::resolveExecutable(), claude->socketPath().string());
  }

  // Claude Code asked the stand-in nothing it could not answer.
  void TearDown() override {
    if (claude) {
      EXPECT_EQ(claude->api().unknownRequests(), std::vector<std::string>{});
    }
  }

  // Polled every 25 ms as in the application, but with 3 s rather than its
  // 600 ms to see the paste: a test machine running the suite in parallel
  // can keep Claude Code from drawing it in time, and the window only
  // matters when the read-back fails.
  PromptInjector injector() const { return PromptInjector(*client, 3000ms, 25ms); }

  std::unique_ptr<ClaudeCodeSession> claude;
  std::optional<TmuxClient> client;
};

TEST_F(RealClaudeCode, DiscoveryFindsItWithItsPaneSocketAndVersion) {
  asio::thread_pool pool(2);
  SessionRegistry registry(pool.get_executor(), SessionSources::forHome(claude->home()));
  std::optional<RegisteredSession> found;
  ASSERT_TRUE(test::waitUntil(
      [&] {
        for (auto& s : registry.sweep(std::chrono::system_clock::now(), asio::use_future).get())
          if (s.descriptor.pid == claude->pid())
            found = s;
        return found.has_value();
      },
      30s))
      << "no session file for pid " << claude->pid();
  const auto& d = found->descriptor;
  EXPECT_EQ(d.paneID, claude->pane());
  EXPECT_EQ(d.socketPath, claude->socketPath().string());
  EXPECT_FALSE(d.tmuxSession.empty());
  EXPECT_EQ(d.cwd, claude->projectDir().string());
  EXPECT_EQ(d.claudeVersion, "2.1.222");
  EXPECT_TRUE(found->isVersionSupported);
  EXPECT_TRUE(found->mayInject());
  EXPECT_EQ(registry.sessionForPane(claude->pane(), asio::use_future).get()->id(), d.sessionID);

  // Once it has a transcript, the next refresh records where.
  claude->api().enqueue(Turn::text("Hello."));
  injector().inject("say hello", claude->pane(), true);
  ASSERT_TRUE(claude->waitForText("Hello."));
  std::optional<std::string> transcript;
  ASSERT_TRUE(test::waitUntil([&] {
    registry.sweep(std::chrono::system_clock::now(), asio::use_future).get();
    transcript = registry.session(d.sessionID, asio::use_future).get()->descriptor.transcriptPath;
    return transcript.has_value();
  }));
  EXPECT_EQ(transcript, claude->transcriptPath()->string());
}

TEST_F(RealClaudeCode, InjectedPromptsArriveExactlyAsWritten) {
  std::string tenLines;
  for (int i = 1; i <= 10; ++i)
    tenLines.append(i > 1 ? "\n" : "")
        .append("step ")
        .append(std::to_string(i))
        .append(": check item ")
        .append(std::to_string(i * 7));
  std::string longPrompt;
  for (int i = 0; longPrompt.size() < 2000; ++i)
    longPrompt += "word" + std::to_string(i) + " ";
  longPrompt.resize(2000);
  longPrompt.back() = 'z';
  // The box cuts a word wider than the pane mid-word; the read-back must not
  // mistake the cut for a different text.
  const std::string url = "see https://example.com/" + std::string(300, 'a') + "/end";
  const std::vector<std::string> prompts{"fix the failing test in src/registry.cpp", tenLines,
                                         longPrompt, url};

  for (std::size_t i = 0; i < prompts.size(); ++i) {
    SCOPED_TRACE(i);
    claude->api().enqueue(Turn::text("Done " + std::to_string(i) + "."));
    injector().inject(prompts[i], claude->pane(), true);
    ASSERT_TRUE(claude->api().waitForMainRequests(i + 1, 30s));
    EXPECT_EQ(claude->api().mainRequests().at(i).userText(), prompts[i]);
    ASSERT_TRUE(claude->waitForText("Done " + std::to_string(i) + "."));
    ASSERT_TRUE(claude->waitForIdle());
  }
  std::optional<std::filesystem::path> transcript;
  ASSERT_TRUE(test::waitUntil([&] {
    transcript = claude->transcriptPath();
    return transcript && transcriptPrompts(*transcript).size() == prompts.size();
  }));
  // The order was checked at the API above; Claude Code may append the
  // first exchange to its transcript after the second.
  auto recorded = transcriptPrompts(*transcript);
  auto sent = prompts;
  std::sort(recorded.begin(), recorded.end());
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(recorded, sent);
}

// An ESC [ 2 0 1 ~ would end the bracketed paste, and the CR and Ctrl-C bytes
// after it would act as keys: submit half the prompt, then quit Claude Code.
TEST_F(RealClaudeCode, ControlCharactersInAPromptArriveAsTextNeverAsKeys) {
  const std::string prompt = "text \x1b[201~\rmore\x03\x03";
  claude->api().enqueue(Turn::text("Done."));
  injector().inject(prompt, claude->pane(), true);
  ASSERT_TRUE(claude->api().waitForMainRequests(1, 30s));
  EXPECT_EQ(claude->api().mainRequests().at(0).userText(), "text \u241b[201~\nmore\u2403\u2403");
  ASSERT_TRUE(claude->waitForText("Done."));
  ASSERT_TRUE(claude->waitForIdle());
  EXPECT_EQ(::kill(claude->pid(), 0), 0) << "Claude Code exited";
  EXPECT_EQ(claude->api().mainRequests().size(), 1u);
}

TEST_F(RealClaudeCode, ADirtyInputBoxIsNeitherSubmittedNorOverwritten) {
  claude->type("half typed thought");
  ASSERT_TRUE(claude->waitForScreen(
      [](const std::string& s) { return test::inputBoxText(s) == "half typed thought"; }));
  try {
    injector().inject("the phone's prompt", claude->pane(), true);
    FAIL() << "expected dirtyInputBox";
  } catch (const PromptInjector::InjectionError& e) {
    EXPECT_EQ(e.kind(), PromptInjector::InjectionError::Kind::dirtyInputBox);
    EXPECT_EQ(e.subject(), "half typed thought");
  }
  EXPECT_EQ(test::inputBoxText(claude->screen()), "half typed thought");
  EXPECT_EQ(injector().currentInput(claude->pane()), "half typed thought");
  EXPECT_TRUE(claude->api().mainRequests().empty());
}

TEST_F(RealClaudeCode, RealPermissionDialogsAreScrapedAndAnsweredByDigit) {
  const auto notes = claude->projectDir() / "notes.txt";
  claude->api().enqueue(
      Turn::tools({ToolCall::bash("echo parley > marker.txt && cat marker.txt", "Write a marker")})
          .thenTools({ToolCall::write(notes.string(), "hello\n")})
          .then("All done."));
  injector().inject("make the marker and the notes", claude->pane(), true);

  ASSERT_TRUE(claude->waitForText("Do you want to proceed?"));
  const auto bash = DialogScraper::scrape(client->capture(claude->pane(), std::nullopt, false));
  ASSERT_TRUE(bash) << claude->screen();
  EXPECT_EQ(bash->header, "Bash command");
  EXPECT_EQ(bash->detail, "echo parley > marker.txt && cat marker.txt");
  EXPECT_EQ(bash->description, "Write a marker");
  ASSERT_EQ(bash->options.size(), 3u);
  EXPECT_EQ(bash->options[0].kind, Kind::allowOnce);
  EXPECT_EQ(bash->options[1].kind, Kind::allowAlways) << bash->options[1].label;
  EXPECT_EQ(bash->options[2].kind, Kind::deny);
  // With escapes kept, it is the same dialog.
  EXPECT_EQ(DialogScraper::scrape(client->capture(claude->pane(), std::nullopt, true)), bash);

  client->sendDigit(1, claude->pane());
  ASSERT_TRUE(claude->api().waitForMainRequests(2, 30s));
  const auto results = claude->api().mainRequests().at(1).toolResults();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].content, "parley");

  ASSERT_TRUE(claude->waitForText("Do you want to create notes.txt?"));
  const auto write = DialogScraper::scrape(client->capture(claude->pane(), std::nullopt, true));
  ASSERT_TRUE(write) << claude->screen();
  EXPECT_EQ(write->header, "Create file");
  EXPECT_EQ(write->detail, "notes.txt");
  ASSERT_EQ(write->options.size(), 3u);
  EXPECT_EQ(write->options[0].kind, Kind::allowOnce);
  EXPECT_EQ(write->options[1].label, "Yes, allow all edits during this session (shift+tab)");
  EXPECT_EQ(write->options[1].kind, Kind::allowAlways);
  EXPECT_EQ(write->options[2].kind, Kind::deny);
  EXPECT_NE(write->fingerprint, bash->fingerprint);

  client->sendDigit(1, claude->pane());
  ASSERT_TRUE(claude->waitForText("All done."));
  EXPECT_EQ(test::readFile(notes), "hello\n");
}

TEST_F(RealClaudeCode, APromptWhileItWorksIsQueuedWithoutInterruptingTheTurn) {
  claude->api().enqueue(Turn::slow("Streaming slowly"));
  claude->api().enqueue(Turn::text("Second answer."));
  injector().inject("tell me a long story", claude->pane(), true);
  ASSERT_TRUE(test::waitUntil([&] { return claude->api().slowStreaming(); }, 30s));
  ASSERT_TRUE(claude->waitForText("word2"));

  // The box stays on screen while Claude Code works: no Escape is pressed,
  // so the turn goes on.
  injector().inject("and then summarise it", claude->pane(), true);
  EXPECT_TRUE(claude->api().slowStreaming());
  EXPECT_EQ(claude->screen().find("Interrupted"), std::string::npos) << claude->screen();

  claude->api().stopSlowStream();
  ASSERT_TRUE(claude->api().waitForMainRequests(2, 30s));
  EXPECT_NE(claude->api().mainRequests().at(1).userText().find("and then summarise it"),
            std::string::npos)
      << claude->api().mainRequests().at(1).userText();
  ASSERT_TRUE(claude->waitForText("Second answer."));
  EXPECT_EQ(claude->screen().find("Interrupted"), std::string::npos) << claude->screen();
}

TEST_F(RealClaudeCode, APromptWhileADialogIsOpenPressesNothing) {
  claude->api().enqueue(Turn::tools({ToolCall::bash("touch never.txt", "Make a file")}));
  injector().inject("make a file", claude->pane(), true);
  ASSERT_TRUE(claude->waitForText("Do you want to proceed?"));
  EXPECT_FALSE(injector().currentInput(claude->pane()));

  // The Escape that would uncover the box would deny the call: the prompt
  // is refused, and the dialog waits for its answer.
  EXPECT_THROW(injector().inject("do something else instead", claude->pane(), true),
               PromptInjector::InjectionError);
  EXPECT_NE(claude->screen().find("Do you want to proceed?"), std::string::npos);
  EXPECT_EQ(claude->api().mainRequests().size(), 1u);
  // Denied at the keyboard, it stops the turn.
  client->sendDigit(3, claude->pane());
  ASSERT_TRUE(claude->waitForText("What should Claude do instead?"));
  EXPECT_FALSE(std::filesystem::exists(claude->projectDir() / "never.txt"));
}

}  // namespace
}  // namespace parley::terminal
