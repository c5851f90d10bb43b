#include "terminal/session_driver.hpp"

#include <gtest/gtest.h>

#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_future.hpp>
#include <future>

#include "support/test_support.hpp"
#include "support/tmux_server.hpp"
#include "terminal/dialog_scraper.hpp"

namespace parley::terminal {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using namespace protocol;

// A driver over a registry that knows one session per pane of a private tmux
// server. The panes run small programs that stand in for Claude Code's
// screen: the real program is driven end to end elsewhere.
class DriverTest : public ::testing::Test {
 protected:
  DriverTest()
      : registry(std::make_shared<SessionRegistry>(
            workers.get_executor(), SessionSources::forHome(dir / "home", dir / "proc"))),
        driver(std::make_shared<SessionDriver>(
            own.get_executor(), registry,
            [this](const std::string& line) {
              std::lock_guard lock(mutex);
              logLines.push_back(line);
            },
            SessionDriver::Options{.settleTimeout = 600ms,
                                   .pollInterval = 25ms,
                                   .questions = questions,
                                   .phoneMayGrantModes = [this] { return grantModes.load(); },
                                   .listChanged = [this] { ++listChanges; }})) {}

  ~DriverTest() override {
    own.join();
    workers.join();
  }

  // A pane showing `screenFile`, after which whatever is typed is echoed.
  std::string paneShowing(const std::filesystem::path& screenFile) {
    const auto pane = tmux.newSession(
        {.argv = {"/bin/sh", "-c", "cat \"$1\"; exec cat", "sh", screenFile.string()},
         .cwd = dir.path()});
    EXPECT_TRUE(tmux.waitForScreen(
        pane.id, [](const std::string& s) { return s.find("Esc") != std::string::npos; }, 10s));
    return pane.id;
  }

  void addSession(const std::string& id, const std::string& pane, bool supported = true,
                  std::optional<std::filesystem::path> cwd = std::nullopt) {
    RegisteredSession s;
    s.descriptor.sessionID = id;
    s.descriptor.paneID = pane;
    s.descriptor.socketPath = tmux.socketPath().string();
    s.descriptor.pid = 1;
    s.descriptor.cwd = cwd ? cwd->string() : "/home/dev/" + id;
    s.descriptor.claudeVersion = supported ? "2.1.222" : "1.0.0";
    s.isVersionSupported = supported;
    registry->insert(s, asio::use_future).get();
  }

  struct Outcome {
    std::string error;  // "" on success
    CommandResult result;
  };
  std::future<Outcome> start(SessionCommand command) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    driver->run(std::move(command), [promise](std::exception_ptr e, CommandResult result) {
      try {
        if (e)
          std::rethrow_exception(e);
        promise->set_value({"", std::move(result)});
      } catch (const std::exception& error) {
        promise->set_value({error.what(), {}});
      }
    });
    return promise->get_future();
  }
  Outcome run(SessionCommand command) { return start(std::move(command)).get(); }
  std::string error(SessionCommand command) { return run(std::move(command)).error; }

  std::vector<std::string> lines() {
    std::lock_guard lock(mutex);
    return logLines;
  }

  test::TempDir dir;
  test::TmuxServer tmux;
  asio::thread_pool workers{2};
  asio::thread_pool own{1};
  std::shared_ptr<QuestionBook> questions = std::make_shared<QuestionBook>();
  std::shared_ptr<SessionRegistry> registry;
  std::shared_ptr<SessionDriver> driver;
  std::mutex mutex;
  std::vector<std::string> logLines;
  std::atomic<bool> grantModes{false};
  std::atomic<int> listChanges{0};
};

bool endsWithDigit(const std::string& screen) {
  return screen.rfind("\n1") != std::string::npos;
}

TEST_F(DriverTest, AnnounceOnlySessionsTakeNoKeystrokesButCanBeRead) {
  const std::string pane =
      paneShowing(test::fixturePath("claude-code-2.1.222/screens/question.ansi"));
  addSession("old", pane, /*supported=*/false);
  const std::string refused =
      "session old is announce-only: Claude Code 1.0.0 is a version Parley cannot drive";
  const std::vector<SessionCommand> typing = {
      SubmitPrompt{.sessionID = "old", .text = "qzx typed"},
      Interrupt{.sessionID = "old"},
      QuestionAnswer{.sessionID = "old", .optionIndex = 0, .expectedLabel = "Postgres"},
      SendKey{.sessionID = "old", .key = SendKey::Key::down},
      TermInput{.sessionID = "old", .text = "qzx typed", .key = TermInput::Key::enter},
  };
  for (const SessionCommand& command : typing)
    EXPECT_EQ(error(command), refused) << command.index();
  EXPECT_EQ(error(Focus{.sessionID = "old"}), "");

  const auto snapshot =
      std::get<PaneSnapshot>(run(GetPane{.sessionID = "old", .lines = 10}).result);
  EXPECT_EQ(snapshot.cols, 110);
  EXPECT_EQ(snapshot.rows, 45);
  EXPECT_NE(snapshot.text.find("Postgres"), std::string::npos);
  // Nothing reached the pane: no digit, no text.
  EXPECT_FALSE(endsWithDigit(tmux.capture(pane)));
  EXPECT_EQ(tmux.capture(pane).find("qzx"), std::string::npos);
}

TEST_F(DriverTest, UnknownSessionsGonePanesAndMissingDetailsAreRefusedByName) {
  const auto pane = tmux.newSession({.argv = {"/bin/cat"}, .cwd = dir.path()});
  addSession("s1", pane.id);
  tmux.tmux({"kill-pane", "-t", pane.id});
  EXPECT_EQ(error(Focus{.sessionID = "nope"}), "no such session: nope");
  EXPECT_EQ(error(GetDetail{.ref = "d1"}), "no detail for d1");
  EXPECT_EQ(error(SubmitPrompt{.sessionID = "s1", .text = "hi"}),
            "pane " + pane.id + " no longer exists");
  EXPECT_EQ(error(QuestionAnswer{.sessionID = "s1", .expectedLabel = "x"}),
            "pane " + pane.id + " no longer exists");
}

TEST_F(DriverTest, QuestionAnswersNeedTheOpenQuestionOnScreenAndCountFromOne) {
  const std::string pane =
      paneShowing(test::fixturePath("claude-code-2.1.222/screens/question.ansi"));
  addSession("s1", pane);
  auto answer = [&](std::string request, std::int64_t option, std::string label) {
    return error(QuestionAnswer{
        .sessionID = "s1", .requestID = request, .optionIndex = option, .expectedLabel = label});
  };
  // On screen, but no question was asked through a hook.
  EXPECT_EQ(answer("toolu_q1", 0, "Postgres"), "no question is waiting in s1");
  HookPayload ask(HookPayload::Event::preToolUse);
  ask.sessionID = "s1";
  ask.toolName = "AskUserQuestion";
  ask.toolUseID = "toolu_q1";
  questions->hookSeen(ask);
  EXPECT_EQ(answer("toolu_other", 0, "Postgres"), "no question is waiting in s1");
  EXPECT_EQ(answer("toolu_q1", 0, "MySQL"), "option 1 is not on screen");
  EXPECT_EQ(answer("toolu_q1", 1, "Postgres"), "option 2 is not on screen");
  EXPECT_EQ(answer("toolu_q1", 0, ""), "option 1 is not on screen");
  EXPECT_EQ(answer("toolu_q1", 9, "Postgres"), "option 10 is not on screen");
  EXPECT_EQ(answer("toolu_q1", 0, "Postgres"), "");
  EXPECT_TRUE(tmux.waitForScreen(pane, endsWithDigit, 5s));
  EXPECT_EQ(lines().back(), "answered question in s1: Postgres");

  // The question's tool ended: the same answer is stale.
  HookPayload done(HookPayload::Event::postToolUse);
  done.sessionID = "s1";
  questions->hookSeen(done);
  EXPECT_EQ(answer("toolu_q1", 0, "Postgres"), "no question is waiting in s1");
}

TEST_F(DriverTest, RemoteInputNeverReachesShellModeOrTheKeyboardsCommands) {
  const auto log = dir / "submitted";
  const auto pane = tmux.newSession(
      {.argv = {test::binPath("input_box_stub").string(), log.string()}, .cwd = dir.path()});
  ASSERT_TRUE(tmux.waitForScreen(
      pane.id, [](const std::string& s) { return s.find("\u276f\u00a0") != std::string::npos; },
      10s));
  addSession("s1", pane.id);
  using TK = TermInput::Key;
  const std::string shell =
      "shell commands (a leading \u201c!\u201d) can only be run at the keyboard";
  EXPECT_EQ(error(SubmitPrompt{.sessionID = "s1", .text = "!git push --force"}), shell);
  EXPECT_EQ(error(SubmitPrompt{.sessionID = "s1", .text = "  !ls", .submit = false}), shell);
  EXPECT_EQ(error(SpokenPrompt{.sessionID = "s1", .text = "!rm -rf build"}), shell);
  EXPECT_EQ(error(TermInput{.sessionID = "s1", .text = "!"}), shell);
  EXPECT_TRUE(error(SubmitPrompt{.sessionID = "s1", .text = "/permissions"})
                  .starts_with("/permissions can only be run at the keyboard"));

  // Typed key by key, a command is read off the box before Enter. Keys
  // travel by name, and a control byte in the text is shown, not obeyed.
  EXPECT_EQ(error(TermInput{.sessionID = "s1", .text = "/con"}), "");
  EXPECT_EQ(error(TermInput{.sessionID = "s1", .text = "fig", .key = TK::enter}).substr(0, 7),
            "/config");
  EXPECT_EQ(error(TermInput{.sessionID = "s1", .key = TK::enter}).substr(0, 7), "/config");
  EXPECT_EQ(error(TermInput{.sessionID = "s1", .key = TK::ctrlU}), "");
  EXPECT_EQ(error(TermInput{.sessionID = "s1", .text = "Escape C-c\x03", .key = TK::enter}), "");
  EXPECT_EQ(error(SubmitPrompt{.sessionID = "s1", .text = "/compact keep the plan"}), "");
  static constexpr char kSubmitted[] = "Escape C-c\u2403\0/compact keep the plan\0";
  const std::string expected(kSubmitted, sizeof kSubmitted - 1);
  EXPECT_TRUE(test::waitUntil([&] { return test::readFile(log) == expected; }))
      << test::readFile(log);
  EXPECT_EQ(lines().size(), 8u);  // 7 refusals, 1 prompt sent
}

TEST_F(DriverTest, AScreenCaughtMidRepaintIsReadAgainBeforeAnyKeyIsSent) {
  // The pane is blank, as between Claude Code's erase and its paint, until
  // the dialog lands half a second later; the driver waits well beyond that.
  const auto pane = tmux.newSession(
      {.argv = {"/bin/sh", "-c", "sleep 0.5; cat \"$1\"; exec cat", "sh",
                test::fixturePath("claude-code-2.1.222/screens/perm_danger.ansi").string()},
       .cwd = dir.path()});
  addSession("s1", pane.id);
  const auto patient = std::make_shared<SessionDriver>(
      own.get_executor(), registry, [](const std::string&) {},
      SessionDriver::Options{.pollInterval = 25ms, .repaintGrace = 10s});
  std::vector<std::future<std::string>> refusals;
  for (SessionCommand command : std::vector<SessionCommand>{
           Interrupt{.sessionID = "s1"}, SendKey{.sessionID = "s1", .key = SendKey::Key::down}}) {
    auto done = std::make_shared<std::promise<std::string>>();
    refusals.push_back(done->get_future());
    patient->run(std::move(command), [done](std::exception_ptr e, CommandResult) {
      try {
        if (e)
          std::rethrow_exception(e);
        done->set_value("");
      } catch (const std::exception& error) {
        done->set_value(error.what());
      }
    });
  }
  for (auto& refusal : refusals)
    EXPECT_TRUE(refusal.get().starts_with("s1 is waiting for an answer to the dialog"));
  // Neither Escape nor Down reached the pane, whose terminal echoes either
  // as "^[": once a marker typed now shows, none is there.
  tmux.tmux({"send-keys", "-t", pane.id, "-l", "qz-marker"});
  ASSERT_TRUE(tmux.waitForScreen(
      pane.id, [](const std::string& s) { return s.find("qz-marker") != std::string::npos; }, 10s));
  EXPECT_EQ(tmux.capture(pane.id).find("^["), std::string::npos) << tmux.capture(pane.id);
}

TEST_F(DriverTest, PromptsAreInjectedAndCommandsRunInArrivalOrder) {
  const auto log = dir / "submitted";
  const auto pane = tmux.newSession(
      {.argv = {test::binPath("input_box_stub").string(), log.string()}, .cwd = dir.path()});
  ASSERT_TRUE(tmux.waitForScreen(
      pane.id, [](const std::string& s) { return s.find("\u276f\u00a0") != std::string::npos; },
      10s));
  addSession("s1", pane.id);

  // Three commands queued at once: each waits for the one before it, so the
  // box is empty again (and the read-back sees only its own text) each time.
  std::vector<std::future<Outcome>> results;
  for (const char* prompt : {"first prompt", "second prompt", "third prompt"})
    results.push_back(start(SubmitPrompt{.sessionID = "s1", .text = prompt}));
  for (auto& r : results)
    EXPECT_EQ(r.get().error, "");
  // The box hands a submitted line to its log after Enter; wait for the last.
  static constexpr char kSubmitted[] = "first prompt\0second prompt\0third prompt\0";
  const std::string expected(kSubmitted, sizeof kSubmitted - 1);
  EXPECT_TRUE(test::waitUntil([&] { return test::readFile(log) == expected; }))
      << test::readFile(log);
  EXPECT_EQ(lines(),
            (std::vector<std::string>{"sent to s1: first prompt", "sent to s1: second prompt",
                                      "sent to s1: third prompt"}));
}

TEST_F(DriverTest, ModesSwitchByShiftTabReadBackAndGrantsWaitForTheDesk) {
  const auto pane = tmux.newSession(
      {.argv = {test::binPath("input_box_stub").string(), (dir / "submitted").string(), "--modes"},
       .cwd = dir.path()});
  const auto bare =
      tmux.newSession({.argv = {test::binPath("input_box_stub").string(), (dir / "other").string()},
                       .cwd = dir.path()});
  for (const auto& id : {pane.id, bare.id})
    ASSERT_TRUE(tmux.waitForScreen(
        id, [](const std::string& s) { return s.find("\u276f\u00a0") != std::string::npos; }, 10s));
  addSession("s1", pane.id);
  addSession("s2", bare.id);
  const auto shows = [&](const char* words) {
    return tmux.waitForScreen(
        pane.id, [&](const std::string& s) { return s.find(words) != std::string::npos; }, 5s);
  };
  // Plan passes through accept edits, manual again through auto; neither
  // stays on.
  EXPECT_EQ(error(SetMode{.sessionID = "s1", .mode = PermissionMode::plan}), "");
  EXPECT_TRUE(shows("plan mode on"));
  EXPECT_EQ(error(SetMode{.sessionID = "s1", .mode = PermissionMode::default_}), "");
  EXPECT_TRUE(shows("manual mode on"));
  EXPECT_TRUE(error(SetMode{.sessionID = "s1", .mode = PermissionMode::acceptEdits})
                  .starts_with("accept edits lets Claude Code act without asking"));
  EXPECT_TRUE(error(SetMode{.sessionID = "s1", .mode = PermissionMode::bypassPermissions})
                  .ends_with("can be turned on only at the keyboard"));
  EXPECT_EQ(error(SendKey{.sessionID = "s1", .key = SendKey::Key::btab}).substr(0, 9), "Shift+Tab");
  EXPECT_TRUE(shows("manual mode on"));
  grantModes = true;
  EXPECT_EQ(error(SetMode{.sessionID = "s1", .mode = PermissionMode::auto_}), "");
  EXPECT_TRUE(shows("auto mode on"));
  EXPECT_EQ(listChanges.load(), 3);
  EXPECT_EQ(error(SetMode{.sessionID = "s2", .mode = PermissionMode::plan}),
            "the mode line of s2 is not on screen");
}

// A project's changes come from the folder the registry records for the
// session, and reading them waits for no prompt.
TEST_F(DriverTest, ChangesAreReadInTheSessionsFolderBesideTheQueue) {
  const auto project = dir / "project";
  const std::map<std::string, std::string> env{
      {"HOME", dir.path().string()}, {"PATH", "/usr/bin:/bin"}, {"GIT_CONFIG_NOSYSTEM", "1"}};
  auto git = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"git", "-C", project.string(), "-c", "user.name=T", "-c",
                               "user.email=t@example.invalid"});
    ASSERT_TRUE(test::runProcess(args, env).ok());
  };
  std::filesystem::create_directories(project);
  git({"init", "-q"});
  test::writeFile(project / "plan.md", "old\n");
  git({"add", "plan.md"});
  git({"commit", "-q", "-m", "start"});
  test::writeFile(project / "plan.md", "new\n");

  // A box that never shows what is pasted: the prompt waits its whole
  // window for the read-back, holding the queue, while the changes are read.
  const auto pane = tmux.newSession({.argv = {test::binPath("input_box_stub").string(),
                                              (dir / "typed.log").string(), "--ignore-paste"},
                                     .cwd = project});
  // Drawn first: a prompt with no box to type into is refused at once.
  ASSERT_TRUE(tmux.waitForScreen(
      pane.id, [](const std::string& s) { return s.find("\u276f\u00a0") != std::string::npos; },
      10s));
  addSession("s1", pane.id, true, project);
  addSession("elsewhere", pane.id, true, dir.path());
  auto slow = std::make_shared<SessionDriver>(own.get_executor(), registry, nullptr,
                                              SessionDriver::Options{30s, 25ms});
  auto prompt = std::make_shared<std::promise<void>>();
  slow->run(SubmitPrompt{.sessionID = "s1", .text = "never shown"},
            [prompt](std::exception_ptr, CommandResult) { prompt->set_value(); });
  auto read = std::make_shared<std::promise<CommandResult>>();
  slow->run(GetChanges{.sessionID = "s1"},
            [read](std::exception_ptr, CommandResult result) { read->set_value(result); });
  auto changes = read->get_future();
  ASSERT_EQ(changes.wait_for(20s), std::future_status::ready);
  EXPECT_NE(prompt->get_future().wait_for(0s), std::future_status::ready);
  const CommandResult result = changes.get();
  const auto* listed = std::get_if<Changes>(&result);
  ASSERT_NE(listed, nullptr);
  EXPECT_EQ(listed->sessionID, "s1");
  ASSERT_EQ(listed->files.size(), 1u);
  EXPECT_EQ(listed->files[0].path, "plan.md");

  const Outcome diff = run(GetFileDiff{.sessionID = "s1", .path = "plan.md"});
  ASSERT_EQ(diff.error, "");
  EXPECT_EQ(std::get<FileDiff>(diff.result).diff, "@@ -1 +1 @@\n-old\n+new\n");
  // The phone's path is looked up among the changes, never opened.
  EXPECT_EQ(error(GetFileDiff{.sessionID = "s1", .path = "../project/plan.md"}),
            "../project/plan.md has no unstaged changes");
  EXPECT_EQ(error(GetChanges{.sessionID = "nope"}), "no such session: nope");
  EXPECT_FALSE(std::get<Changes>(run(GetChanges{.sessionID = "elsewhere"}).result).repository);
  tmux.tmux({"kill-pane", "-t", pane.id});
}

TEST(DriverNames, PhoneKeysMapToTmuxKeyNamesAndSessionsToLabels) {
  using SK = SendKey::Key;
  using TK = TermInput::Key;
  EXPECT_EQ(SessionDriver::tmuxKey(SK::btab), "BTab");
  EXPECT_EQ(SessionDriver::tmuxKey(SK::ctrlO), "C-o");
  EXPECT_EQ(SessionDriver::tmuxKey(TK::backspace), "BSpace");
  EXPECT_EQ(SessionDriver::tmuxKey(TK::ctrlU), "C-u");
  SessionDescriptor d;
  d.cwd = "/home/dev/src/app";
  EXPECT_EQ(SessionDriver::label(d), "app");
  d.displayName = "";
  EXPECT_EQ(SessionDriver::label(d), "app");
  d.displayName = "Billing";
  EXPECT_EQ(SessionDriver::label(d), "Billing");
}

}  // namespace
}  // namespace parley::terminal
