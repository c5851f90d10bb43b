#include "app/session_command_sink.hpp"

#include <gtest/gtest.h>

#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_future.hpp>
#include <future>

#include "support/test_support.hpp"
#include "support/tmux_server.hpp"
#include "terminal/dialog_scraper.hpp"

namespace parley::app {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using terminal::RegisteredSession;

// A sink over a registry that knows one session per pane of a private tmux
// server. The panes run small programs that stand in for Claude Code's
// screen: the real program is driven end to end elsewhere.
class SinkTest : public ::testing::Test {
 protected:
  SinkTest()
      : registry(std::make_shared<terminal::SessionRegistry>(
            workers.get_executor(), terminal::SessionSources::forHome(dir / "home", dir / "proc"))),
        sink(std::make_shared<SessionCommandSink>(
            workers.get_executor(), registry,
            [this](const std::string& line) {
              std::lock_guard lock(mutex);
              logLines.push_back(line);
            },
            SessionCommandSink::Options{600ms, 25ms})) {}

  ~SinkTest() override { workers.join(); }

  // A pane showing `screenFile`, after which whatever is typed is echoed.
  std::string paneShowing(const std::filesystem::path& screenFile) {
    const auto pane = tmux.newSession(
        {.argv = {"/bin/sh", "-c", "cat \"$1\"; exec cat", "sh", screenFile.string()},
         .cwd = dir.path()});
    EXPECT_TRUE(tmux.waitForScreen(
        pane.id, [](const std::string& s) { return s.find("Esc") != std::string::npos; }, 10s));
    return pane.id;
  }

  RegisteredSession addSession(const std::string& id, const std::string& pane,
                               bool supported = true) {
    RegisteredSession s;
    s.descriptor.sessionID = id;
    s.descriptor.paneID = pane;
    s.descriptor.socketPath = tmux.socketPath().string();
    s.descriptor.tmuxSession = "";
    s.descriptor.pid = 1;
    s.descriptor.cwd = "/home/dev/" + id;
    s.descriptor.claudeVersion = supported ? "2.1.222" : "1.0.0";
    s.isVersionSupported = supported;
    registry->insert(s, asio::use_future).get();
    return s;
  }

  // Runs one sink operation and returns its error text, or "" on success.
  std::string outcome(const std::function<void(SessionCommandSink::Done)>& call) {
    std::promise<std::string> result;
    call([&](std::exception_ptr error) {
      if (!error)
        return result.set_value("");
      try {
        std::rethrow_exception(error);
      } catch (const std::exception& e) {
        result.set_value(e.what());
      }
    });
    return result.get_future().get();
  }

  std::vector<std::string> lines() {
    std::lock_guard lock(mutex);
    return logLines;
  }

  test::TempDir dir;
  test::TmuxServer tmux;
  asio::thread_pool workers{2};
  std::shared_ptr<terminal::SessionRegistry> registry;
  std::shared_ptr<SessionCommandSink> sink;
  std::mutex mutex;
  std::vector<std::string> logLines;
};

const auto kBashDialog = test::fixturePath("claude-code-2.1.222/screens/perm_bash.ansi");

TEST_F(SinkTest, PermissionAnswersPressTheDigitOnceAndNeverGrantForGood) {
  const std::string pane = paneShowing(kBashDialog);
  addSession("s1", pane);
  const auto dialog = terminal::DialogScraper::scrape(tmux.capture(pane));
  ASSERT_TRUE(dialog);
  ASSERT_EQ(dialog->options.size(), 3u);
  ASSERT_EQ(dialog->options[1].kind, protocol::PermissionOption::Kind::allowAlways);

  // Option 2 would allow the command for good: refused, nothing pressed.
  EXPECT_EQ(outcome([&](auto done) { sink->permissionAnswer("r", dialog->nonce, 2, done); }),
            "option 2 is not on screen");
  EXPECT_EQ(outcome([&](auto done) { sink->permissionAnswer("r", dialog->nonce, 7, done); }),
            "option 7 is not on screen");
  EXPECT_EQ(outcome([&](auto done) { sink->permissionAnswer("r", "0123abcd", 1, done); }),
            "no permission dialog is open");

  EXPECT_EQ(outcome([&](auto done) { sink->permissionAnswer("r", dialog->nonce, 1, done); }), "");
  EXPECT_TRUE(tmux.waitForScreen(
      pane, [](const std::string& s) { return s.rfind("\n1") != std::string::npos; }, 5s));
  EXPECT_EQ(lines().back(), "answered s1: Yes");

  // The same dialog can be answered only once per process.
  EXPECT_EQ(outcome([&](auto done) { sink->permissionAnswer("r", dialog->nonce, 1, done); }),
            "that answer was for a different dialog \u2014 dropped");
}

TEST_F(SinkTest, AnnounceOnlySessionsTakeNoKeystrokesButCanBeRead) {
  const std::string pane = paneShowing(kBashDialog);
  addSession("old", pane, /*supported=*/false);
  const auto dialog = terminal::DialogScraper::scrape(tmux.capture(pane));
  ASSERT_TRUE(dialog);

  const std::string refused =
      "session old is announce-only (unsupported Claude Code version, or permissions bypassed)";
  EXPECT_EQ(outcome([&](auto done) { sink->submit("old", "hello", true, std::nullopt, done); }),
            refused);
  EXPECT_EQ(outcome([&](auto done) { sink->interrupt("old", done); }), refused);
  EXPECT_EQ(outcome([&](auto done) {
              sink->termInput("old", "ls", protocol::TermInput::Key::enter, done);
            }),
            refused);
  // Its dialog is never looked at, so the answer finds no dialog.
  EXPECT_EQ(outcome([&](auto done) { sink->permissionAnswer("r", dialog->nonce, 1, done); }),
            "no permission dialog is open");

  std::promise<protocol::PaneSnapshot> snapshot;
  sink->paneSnapshot("old", 10, [&](std::exception_ptr e, protocol::PaneSnapshot s) {
    EXPECT_FALSE(e);
    snapshot.set_value(s);
  });
  const protocol::PaneSnapshot s = snapshot.get_future().get();
  EXPECT_EQ(s.cols, 110);
  EXPECT_EQ(s.rows, 45);
  EXPECT_NE(s.text.find("Do you want to proceed?"), std::string::npos);
}

TEST_F(SinkTest, UnknownSessionsAndMissingDetailsAreRefusedByName) {
  EXPECT_EQ(outcome([&](auto done) { sink->focus("nope", done); }), "no such session: nope");
  std::promise<std::string> detail;
  sink->detail("d1", [&](std::exception_ptr e, std::string) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& error) {
      detail.set_value(error.what());
    }
  });
  EXPECT_EQ(detail.get_future().get(), "no detail for d1");
}

TEST_F(SinkTest, TerminalInputTypesTextLiterallyThenTheKey) {
  const auto pane = tmux.newSession({.argv = {"/bin/cat"}, .cwd = dir.path()});
  addSession("s1", pane.id);
  // Key names inside the text are typed as letters, and Enter comes last.
  EXPECT_EQ(outcome([&](auto done) {
              sink->termInput("s1", "Escape C-c", protocol::TermInput::Key::enter, done);
            }),
            "");
  // cat echoes the typed line, then prints it once more when Enter ends it.
  EXPECT_TRUE(tmux.waitForScreen(
      pane.id,
      [](const std::string& s) { return s.find("Escape C-c\nEscape C-c") != std::string::npos; },
      5s));
}

TEST_F(SinkTest, QuestionAnswersCountFromOneOnScreenAndCheckTheLabel) {
  const std::string pane =
      paneShowing(test::fixturePath("claude-code-2.1.222/screens/question.ansi"));
  addSession("s1", pane);
  EXPECT_EQ(outcome([&](auto done) { sink->questionAnswer("s1", 0, "MySQL", done); }),
            "no permission dialog is open");
  EXPECT_EQ(outcome([&](auto done) { sink->questionAnswer("s1", 0, "", done); }),
            "no permission dialog is open");
  EXPECT_EQ(outcome([&](auto done) { sink->questionAnswer("s1", 0, "Postgres", done); }), "");
  EXPECT_TRUE(tmux.waitForScreen(
      pane, [](const std::string& s) { return s.rfind("\n1") != std::string::npos; }, 5s));
  EXPECT_EQ(lines().back(), "answered question in s1: Postgres");
}

TEST_F(SinkTest, APaneThatIsGoneIsReportedByItsId) {
  const auto pane = tmux.newSession({.argv = {"/bin/cat"}, .cwd = dir.path()});
  addSession("s1", pane.id);
  tmux.tmux({"kill-pane", "-t", pane.id});
  EXPECT_EQ(outcome([&](auto done) { sink->submit("s1", "hi", true, std::nullopt, done); }),
            "pane " + pane.id + " no longer exists");
}

TEST_F(SinkTest, PromptsAreInjectedAndCommandsRunInArrivalOrder) {
  const auto log = dir / "submitted";
  const auto pane = tmux.newSession(
      {.argv = {test::binPath("input_box_stub").string(), log.string()}, .cwd = dir.path()});
  ASSERT_TRUE(tmux.waitForScreen(
      pane.id, [](const std::string& s) { return s.find("\u276f\u00a0") != std::string::npos; },
      10s));
  addSession("s1", pane.id);

  // Three commands queued at once: each waits for the one before it, so the
  // box is empty again (and the read-back sees only its own text) each time.
  std::vector<std::future<std::string>> results;
  for (const char* prompt : {"first prompt", "second prompt", "third prompt"}) {
    auto promise = std::make_shared<std::promise<std::string>>();
    results.push_back(promise->get_future());
    sink->submit("s1", prompt, true, std::nullopt, [promise](std::exception_ptr e) {
      try {
        if (e)
          std::rethrow_exception(e);
        promise->set_value("");
      } catch (const std::exception& error) {
        promise->set_value(error.what());
      }
    });
  }
  for (auto& r : results)
    EXPECT_EQ(r.get(), "");
  // The box hands a submitted line to its log after Enter; wait for the last.
  static constexpr char kSubmitted[] = "first prompt\0second prompt\0third prompt\0";
  const std::string expected(kSubmitted, sizeof kSubmitted - 1);
  EXPECT_TRUE(test::waitUntil([&] { return test::readFile(log) == expected; }))
      << test::readFile(log);
  EXPECT_EQ(lines(),
            (std::vector<std::string>{"sent to s1: first prompt", "sent to s1: second prompt",
                                      "sent to s1: third prompt"}));
}

TEST(SinkKeys, PhoneKeysMapToTmuxKeyNames) {
  using SK = protocol::SendKey::Key;
  using TK = protocol::TermInput::Key;
  EXPECT_EQ(SessionCommandSink::tmuxKey(SK::btab), "BTab");
  EXPECT_EQ(SessionCommandSink::tmuxKey(SK::ctrlO), "C-o");
  EXPECT_EQ(SessionCommandSink::tmuxKey(TK::backspace), "BSpace");
  EXPECT_EQ(SessionCommandSink::tmuxKey(TK::ctrlU), "C-u");
  protocol::SessionDescriptor d;
  d.cwd = "/home/dev/src/app";
  EXPECT_EQ(SessionCommandSink::label(d), "app");
  d.displayName = "";
  EXPECT_EQ(SessionCommandSink::label(d), "app");
  d.displayName = "Billing";
  EXPECT_EQ(SessionCommandSink::label(d), "Billing");
}

}  // namespace
}  // namespace parley::app
