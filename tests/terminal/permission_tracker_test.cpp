#include "terminal/permission_tracker.hpp"

#include <gtest/gtest.h>

#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_future.hpp>
#include <future>
#include <mutex>

#include "protocol/remote_approval.hpp"
#include "support/test_support.hpp"
#include "support/tmux_server.hpp"
#include "terminal/session_driver.hpp"
#include "text/unicode.hpp"

namespace parley::terminal {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using By = protocol::PermissionResolved::By;
using protocol::RiskTier;

std::filesystem::path screenFile(const std::string& name) {
  return test::fixturePath("claude-code-2.1.222/screens/" + name + ".ansi");
}

// A tracker and a driver sharing it, over panes of a private tmux server
// that show captured screens of Claude Code. The tier of every request is
// the one the test sets.
class TrackerTest : public ::testing::Test {
 protected:
  TrackerTest()
      : registry(std::make_shared<SessionRegistry>(
            workers.get_executor(), SessionSources::forHome(dir / "home", dir / "proc"))),
        tracker(std::make_shared<PermissionTracker>(
            own.get_executor(),
            PermissionTracker::Outlets{.describe =
                                           [this](const PermissionTracker::Sighting& seen) {
                                             protocol::PermissionRequest r;
                                             r.sessionID = seen.session.sessionID;
                                             r.requestID = "req-" + std::to_string(++asked);
                                             r.toolName = seen.toolName.value_or("?");
                                             r.tier = tier;
                                             return r;
                                           },
                                       .publish =
                                           [this](protocol::ServerMessage m) {
                                             std::lock_guard lock(mutex);
                                             published.push_back(std::move(m));
                                           },
                                       .log = {}},
            PermissionTracker::Options{
                .scrapeInterval = 20ms, .scrapeTimeout = 3000ms, .watchInterval = 20ms})),
        driver(std::make_shared<SessionDriver>(
            own.get_executor(), registry,
            [this](const std::string& line) {
              std::lock_guard lock(mutex);
              logLines.push_back(line);
            },
            // Any image id names a file, so only the lock can refuse a
            // prompt that carries one.
            SessionDriver::Options{.permissions = tracker, .imagePath = [](const std::string&) {
                                     return std::optional<std::filesystem::path>("/etc/hostname");
                                   }})) {}

  ~TrackerTest() override {
    // The tracker watches a pending request's pane for as long as it is
    // open, here longer than the test.
    own.stop();
    own.join();
    workers.join();
  }

  protocol::SessionDescriptor showing(const std::string& id, const std::string& screen,
                                      bool supported = true) {
    return showingFile(id, screenFile(screen), supported);
  }
  protocol::SessionDescriptor showingFile(const std::string& id, const std::filesystem::path& file,
                                          bool supported = true) {
    const auto pane =
        tmux.newSession({.argv = {"/bin/sh", "-c", "cat \"$1\"; exec cat", "sh", file.string()},
                         .cwd = dir.path()});
    EXPECT_TRUE(tmux.waitForScreen(
        pane.id, [](const std::string& s) { return s.find("\u276f") != std::string::npos; }, 10s));
    RegisteredSession s;
    s.descriptor.sessionID = id;
    s.descriptor.paneID = pane.id;
    s.descriptor.socketPath = tmux.socketPath().string();
    s.descriptor.pid = 1;
    s.descriptor.cwd = dir.path().string();
    s.descriptor.claudeVersion = supported ? "2.1.222" : "1.0.0";
    s.isVersionSupported = supported;
    registry->insert(s, asio::use_future).get();
    return s.descriptor;
  }

  // The pane now shows another screen, drawn in one write as Claude Code
  // redraws.
  void redraw(const protocol::SessionDescriptor& d, const std::string& screen) {
    const auto file = dir / (screen + ".redraw");
    test::writeFile(file, "\x1b[H\x1b[2J" + test::readFile(screenFile(screen)));
    tmux.tmux({"respawn-pane", "-k", "-t", d.paneID, "/bin/sh", "-c", "cat \"$1\"; exec cat", "sh",
               file.string()});
  }

  template <class T>
  std::optional<T> waitFor(std::size_t nth = 0) {
    std::optional<T> found;
    test::waitUntil(
        [&] {
          std::lock_guard lock(mutex);
          std::size_t seen = 0;
          for (const auto& m : published)
            if (const T* v = std::get_if<T>(&m); v && seen++ == nth)
              found = *v;
          return found.has_value();
        },
        10s);
    return found;
  }

  std::string answer(const std::string& nonce, std::int64_t option) {
    return run(protocol::PermissionAnswer{.requestID = "r", .nonce = nonce, .optionIndex = option});
  }
  // The command's refusal, or "".
  std::string run(protocol::SessionCommand command) {
    std::promise<std::string> done;
    driver->run(std::move(command), [&](std::exception_ptr e, protocol::CommandResult) {
      try {
        if (e)
          std::rethrow_exception(e);
        done.set_value("");
      } catch (const std::exception& error) {
        done.set_value(error.what());
      }
    });
    return done.get_future().get();
  }

  test::TempDir dir;
  test::TmuxServer tmux;
  asio::thread_pool workers{2};
  asio::thread_pool own{1};
  RiskTier tier = RiskTier::elevated;
  std::atomic<int> asked{0};
  std::mutex mutex;
  std::vector<protocol::ServerMessage> published;
  std::vector<std::string> logLines;
  std::shared_ptr<SessionRegistry> registry;
  std::shared_ptr<PermissionTracker> tracker;
  std::shared_ptr<SessionDriver> driver;
};

TEST_F(TrackerTest, ADestructiveRequestTakesOnlyADenialFromThePhone) {
  tier = RiskTier::destructive;
  const auto d = showing("s1", "perm_danger");
  tracker->requested(d, "Bash", std::nullopt);
  const auto request = waitFor<protocol::PermissionRequest>();
  ASSERT_TRUE(request);
  EXPECT_EQ(request->toolName, "Bash");
  ASSERT_EQ(request->options.size(), 3u);
  EXPECT_EQ(answer(request->nonce, 1), protocol::kKeyboardOnlyText);
  EXPECT_EQ(answer(request->nonce, 2), "option 2 is not on screen");
  EXPECT_EQ(answer(request->nonce, 7), "option 7 is not on screen");
  // Nothing was pressed: the dialog and its request stay.
  EXPECT_TRUE(tracker->hasPending("s1"));
  EXPECT_EQ(tmux.capture(d.paneID).find("\n1\n"), std::string::npos);

  // Only a denial, not just anything that is not "yes".
  const auto worded = dir / "worded.ansi";
  test::writeFile(worded,
                  " Bash command\n\n   git push --force origin main\n\n Do you want to proceed?\n"
                  " \u276f 1. Proceed\n   2. No\n\n Esc to cancel\n");
  const auto other = showingFile("s2", worded);
  tracker->requested(other, "Bash", std::nullopt);
  const auto proceed = waitFor<protocol::PermissionRequest>(1);
  ASSERT_TRUE(proceed);
  EXPECT_EQ(proceed->options[0].kind, protocol::PermissionOption::Kind::unknown);
  EXPECT_EQ(answer(proceed->nonce, 1), protocol::kKeyboardOnlyText);
  EXPECT_EQ(answer(proceed->nonce, 2), "");

  EXPECT_EQ(answer(request->nonce, 3), "");
  redraw(d, "idle");
  const auto resolved = waitFor<protocol::PermissionResolved>();
  ASSERT_TRUE(resolved);
  EXPECT_EQ(resolved->requestID, request->requestID);
  EXPECT_EQ(resolved->by, By::phone);
  EXPECT_EQ(resolved->chosenIndex, 3);
  EXPECT_FALSE(tracker->hasPending("s1"));
}

TEST_F(TrackerTest, WhileADialogIsOpenNothingButItsAnswerReachesThePane) {
  tier = RiskTier::destructive;
  const auto d = showing("s1", "perm_danger");
  const std::string before = tmux.capture(d.paneID);
  const std::string label = SessionDriver::label(d);
  const std::string waiting = label +
                              " is waiting for an answer to the dialog on its screen: answer that "
                              "request first (nothing else is sent to it until then)";
  using TK = protocol::TermInput::Key;
  using SK = protocol::SendKey::Key;
  auto everyOtherWay = [&] {
    // Each of these would otherwise approve the force push, or more.
    return std::vector<std::string>{
        run(protocol::TermInput{.sessionID = "s1", .text = "1"}),
        run(protocol::TermInput{.sessionID = "s1", .key = TK::enter}),
        run(protocol::SendKey{.sessionID = "s1", .key = SK::down}),
        run(protocol::SubmitPrompt{.sessionID = "s1", .text = "yes"}),
        run(protocol::SpokenPrompt{.sessionID = "s1", .text = "yes"}),
        run(protocol::Interrupt{.sessionID = "s1"}),
        // An image's path pasted first would land on the dialog as keys.
        run(protocol::SubmitPrompt{
            .sessionID = "s1", .text = "", .images = std::vector<std::string>{"img"}}),
        // Stopping presses Ctrl-C, which would act on the dialog.
        run(protocol::StopSession{.sessionID = "s1"}),
        // Shift+Tab on the dialog is its "allow all edits during this session".
        run(protocol::SetMode{.sessionID = "s1", .mode = protocol::PermissionMode::plan}),
    };
  };
  // Locked by the screen alone, before anything was published...
  EXPECT_EQ(everyOtherWay(), std::vector<std::string>(9, waiting));
  tracker->requested(d, "Bash", std::nullopt);
  const auto request = waitFor<protocol::PermissionRequest>();
  ASSERT_TRUE(request);
  // ...and by the request once it is.
  EXPECT_EQ(everyOtherWay(), std::vector<std::string>(9, waiting));
  EXPECT_EQ(run(protocol::SendKey{.sessionID = "s1", .key = SK::btab}),
            "Shift+Tab changes Claude Code's permission mode: the phone has a mode switch for "
            "that");
  EXPECT_EQ(run(protocol::QuestionAnswer{.sessionID = "s1",
                                         .requestID = request->requestID,
                                         .optionIndex = 0,
                                         .expectedLabel = "Yes"}),
            "no question is waiting in " + label);
  EXPECT_EQ(answer(request->nonce, 1), protocol::kKeyboardOnlyText);

  // Every refusal is one line, and the pane got nothing: a marker typed now
  // is the first thing after the dialog.
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(logLines.size(), 21u);
    for (const auto& line : logLines)
      EXPECT_TRUE(line.starts_with("refused for " + label + ": ")) << line;
  }
  tmux.tmux({"send-keys", "-t", d.paneID, "-l", "qz-marker"});
  ASSERT_TRUE(tmux.waitForScreen(
      d.paneID, [](const std::string& s) { return s.find("qz-marker") != std::string::npos; },
      10s));
  const std::string after = tmux.capture(d.paneID);
  EXPECT_EQ(text::trimmed(std::string_view(after).substr(0, after.find("qz-marker"))),
            text::trimmed(before));
}

TEST_F(TrackerTest, TheSameDialogAskedTwiceIsTwoRequestsWithTheirOwnNonces) {
  const auto d = showing("s1", "perm_bash");
  const auto call = protocol::JSONValue(
      protocol::JSONValue::Object{{"command", protocol::JSONValue("npm test")}});
  tracker->requested(d, "Bash", call);
  const auto first = waitFor<protocol::PermissionRequest>();
  ASSERT_TRUE(first);
  EXPECT_EQ(answer(first->nonce, 3), "");
  // Claude Code asks for the same call again, with the same dialog.
  tracker->requested(d, "Bash", call);
  const auto second = waitFor<protocol::PermissionRequest>(1);
  ASSERT_TRUE(second);
  EXPECT_NE(second->nonce, first->nonce);
  EXPECT_EQ(answer(second->nonce, 3), "");
  EXPECT_EQ(answer(first->nonce, 3), "that answer was for a different dialog \u2014 dropped");
}

TEST_F(TrackerTest, SpokenAnswersTakeTheRequestsTierAndResolveAtTheDesk) {
  tier = RiskTier::destructive;
  const auto d = showing("s1", "perm_danger");
  const protocol::SpokenAnswer yes{.sessionID = "s1", .approve = true};
  const protocol::SpokenAnswer no{.sessionID = "s1", .approve = false};
  // On screen but not yet published: nothing to answer.
  EXPECT_EQ(run(no), "no permission dialog is open");
  tracker->requested(d, "Bash", std::nullopt);
  const auto request = waitFor<protocol::PermissionRequest>();
  ASSERT_TRUE(request);
  EXPECT_EQ(run(yes), protocol::kKeyboardOnlyText);
  EXPECT_EQ(tmux.capture(d.paneID).find("\n1\n"), std::string::npos);

  EXPECT_EQ(run(no), "");
  // Pressed once: neither the phone nor a second word presses again.
  EXPECT_NE(answer(request->nonce, 3), "");
  EXPECT_EQ(run(no), "no permission dialog is open");
  redraw(d, "idle");
  const auto resolved = waitFor<protocol::PermissionResolved>();
  ASSERT_TRUE(resolved);
  EXPECT_EQ(resolved->by, By::desk);
  EXPECT_EQ(resolved->chosenIndex, 3);
}

TEST_F(TrackerTest, ADialogNobodyPublishedCannotBeAnswered) {
  const auto d = showing("s1", "perm_bash");
  const auto fingerprint = DialogScraper::scrape(tmux.capture(d.paneID))->fingerprint;
  EXPECT_EQ(answer(fingerprint, 1), "no permission dialog is open");
  // The sweep finds it, and from then on it can.
  tracker->sweep(registry->all(asio::use_future).get());
  const auto request = waitFor<protocol::PermissionRequest>();
  ASSERT_TRUE(request);
  EXPECT_EQ(request->toolName, "?");  // no hook described the call
  EXPECT_EQ(answer(request->nonce, 1), "");

  // A request in a session that may not be typed into is never answered.
  const auto old = showing("old", "perm_bash", /*supported=*/false);
  tracker->requested(old, "Bash", std::nullopt);
  const auto unsupported = waitFor<protocol::PermissionRequest>(1);
  ASSERT_TRUE(unsupported);
  EXPECT_EQ(answer(unsupported->nonce, 1), "no permission dialog is open");
}

TEST_F(TrackerTest, AClosedDialogSaysHowItClosed) {
  struct Case {
    std::string next;  // the screen after the dialog
    By by;
    bool interrupted;
  };
  const std::vector<Case> cases{
      {"idle", By::desk, false},           // answered at the keyboard
      {"interrupted", By::expired, true},  // Escape on the dialog
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].next);
    const std::string id = "s" + std::to_string(i);
    const auto d = showing(id, "perm_danger");
    tracker->requested(d, "Bash", std::nullopt);
    const auto request = waitFor<protocol::PermissionRequest>(i);
    ASSERT_TRUE(request);
    redraw(d, cases[i].next);
    const auto resolved = waitFor<protocol::PermissionResolved>(i);
    ASSERT_TRUE(resolved);
    EXPECT_EQ(resolved->requestID, request->requestID);
    EXPECT_EQ(resolved->by, cases[i].by);
    EXPECT_FALSE(resolved->chosenIndex);
    std::lock_guard lock(mutex);
    const bool interrupted = std::any_of(published.begin(), published.end(), [&](const auto& m) {
      const auto* x = std::get_if<protocol::Interrupted>(&m);
      return x && x->sessionID == id;
    });
    EXPECT_EQ(interrupted, cases[i].interrupted);
  }
}

TEST_F(TrackerTest, ASessionEndExpiresItsRequestAndANoticeAloneAddsNone) {
  const auto d = showing("s1", "perm_bash");
  tracker->requested(d, "Bash", std::nullopt);
  ASSERT_TRUE(waitFor<protocol::PermissionRequest>());
  // Claude Code's notice that follows the request is the same request.
  tracker->requested(d, std::nullopt, std::nullopt);
  protocol::HookPayload end(protocol::HookPayload::Event::sessionEnd);
  end.sessionID = "s1";
  tracker->hookSeen(end);
  const auto resolved = waitFor<protocol::PermissionResolved>();
  ASSERT_TRUE(resolved);
  EXPECT_EQ(resolved->by, By::expired);
  std::lock_guard lock(mutex);
  EXPECT_EQ(std::count_if(published.begin(), published.end(),
                          [](const auto& m) {
                            return std::holds_alternative<protocol::PermissionRequest>(m);
                          }),
            1);
}

}  // namespace
}  // namespace parley::terminal
