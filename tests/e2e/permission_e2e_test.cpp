// Permission requests, their answers and the events around a turn, end to
// end: real Claude Code asks, the phone sees the request, answers it (or is
// refused), and follows the turn.

#include "base/process.hpp"
#include "bridge_fixture.hpp"

namespace parley::test {
namespace {

using Kind = protocol::PermissionOption::Kind;
using By = protocol::PermissionResolved::By;

class Permissions : public Bridge {
 protected:
  void git(const std::vector<std::string>& arguments) {
    const auto result = base::runProcess(*base::findExecutable("git"), arguments);
    ASSERT_TRUE(result.ok()) << result.err;
  }
  // Reads `count` refusals, in the order the commands were sent.
  std::vector<protocol::Failure> refusals(std::size_t count) {
    std::vector<protocol::Failure> read;
    while (read.size() < count) {
      const auto failure = phone_->waitFor<protocol::Failure>("refusal " + std::to_string(count));
      if (!failure)
        break;
      read.push_back(*failure);
    }
    return read;
  }

  void answer(const protocol::PermissionRequest& r, std::int64_t option) {
    phone_->send(protocol::PermissionAnswer{.clientMsgID = "answer-" + std::to_string(++messages_),
                                            .requestID = r.requestID,
                                            .nonce = r.nonce,
                                            .optionIndex = option});
  }
};

TEST_F(Permissions, ThePhoneAnswersFollowsAndIsLockedOutOfDestructiveApprovals) {
  // ---- a Bash dialog, answered from the phone ----
  ToolCall listing = ToolCall::bash("echo perm-e2e > out.txt && seq 1 5", "Write and count");
  listing.id = "toolu_01PermE2eListing000000001";
  claude_->api().enqueue(Turn::tools({listing}).then("Counted."));
  phone_->send(prompt("count for me"));

  const auto turn = phone_->waitFor<protocol::TurnStarted>("the phone's turn");
  ASSERT_TRUE(turn);
  EXPECT_EQ(turn->origin, protocol::TurnStarted::Origin::phone);
  EXPECT_EQ(turn->prompt, "count for me");
  EXPECT_TRUE(turn->promptID);

  const auto asked = nextRequest("the Bash request");
  ASSERT_TRUE(asked);
  EXPECT_EQ(asked->toolName, "Bash");
  EXPECT_EQ(asked->detail, "echo perm-e2e > out.txt && seq 1 5");
  EXPECT_EQ(asked->description, "Write and count");
  EXPECT_FALSE(asked->nonce.empty());
  EXPECT_FALSE(asked->requestID.empty());
  EXPECT_EQ(asked->tier, protocol::RiskTier::elevated);
  ASSERT_EQ(asked->options.size(), 3u);
  EXPECT_EQ(asked->options[0].kind, Kind::allowOnce);
  EXPECT_EQ(asked->options[1].kind, Kind::allowAlways);
  EXPECT_EQ(asked->options[2].kind, Kind::deny);
  EXPECT_TRUE(asked->narration.speak);
  EXPECT_TRUE(contains(asked->narration.text, "seq 1 5")) << asked->narration.text;
  // The session waits while the request is open; the hook's update and the
  // request read from the screen come in either order.
  const auto waiting = latestDescriptor();
  if (!waiting || waiting->state != SessionState::waiting) {
    EXPECT_TRUE(phone_->waitFor<protocol::SessionUpdate>(
        "the waiting state", 30s, [&](const protocol::SessionUpdate& u) {
          const auto d = find(u.sessions, sessionID_);
          return d && d->state == SessionState::waiting;
        }));
  }

  answer(*asked, 1);
  // The dialog's end and the tool's result come in either order.
  ASSERT_TRUE(phone_->waitFor<protocol::TurnFinished>("the first turn's end"));
  auto resolutions = ofType<protocol::PermissionResolved>(phone_->taken());
  const auto resolved = resolutions.empty() ? resolutionOf(*asked) : resolutions[0].second;
  ASSERT_TRUE(resolved);
  EXPECT_EQ(resolved->requestID, asked->requestID);
  EXPECT_EQ(resolved->by, By::phone);
  EXPECT_EQ(resolved->chosenIndex, 1);

  const auto results = ofType<protocol::ToolFinished>(phone_->taken());
  ASSERT_EQ(results.size(), 1u) << phone_->received();
  const auto& finished = results[0].second;
  EXPECT_EQ(finished.toolUseID, listing.id);
  EXPECT_TRUE(finished.ok);
  EXPECT_EQ(finished.summary, "1");
  EXPECT_TRUE(finished.truncated);
  EXPECT_TRUE(finished.durationMS);
  ASSERT_TRUE(finished.detailRef);
  phone_->send(protocol::GetDetail{.ref = *finished.detailRef});
  const auto detail = phone_->waitFor<protocol::ToolFinished>(
      "the full output", 30s, [](const protocol::ToolFinished& f) { return f.sessionID.empty(); });
  ASSERT_TRUE(detail);
  EXPECT_EQ(detail->summary, "1\n2\n3\n4\n5");
  EXPECT_EQ(readAll(claude_->projectDir() / "out.txt"), "perm-e2e\n");

  // ---- a force push, typed at the desk: only a denial from the phone ----
  // It pushes to a bare repository beside the project: a push that got
  // through would show there.
  const std::string proj = claude_->projectDir().string();
  const fs::path remote = claude_->projectDir().parent_path() / "remote.git";
  git({"init", "-q", "--bare", remote.string()});
  git({"-C", proj, "init", "-q", "-b", "main"});
  git({"-C", proj, "-c", "user.name=Dev", "-c", "user.email=dev@example.com", "commit", "-q",
       "--allow-empty", "-m", "start"});
  git({"-C", proj, "remote", "add", "origin", remote.string()});
  ToolCall push = ToolCall::bash("git push --force origin main", "Force-push the branch");
  push.id = "toolu_01PermE2ePush0000000000001";
  claude_->api().enqueue(Turn::tools({push}).then("Not pushed."));
  claude_->submit("push it hard");
  const auto deskTurn = phone_->waitFor<protocol::TurnStarted>("the desk's turn");
  ASSERT_TRUE(deskTurn);
  EXPECT_EQ(deskTurn->origin, protocol::TurnStarted::Origin::desk);
  EXPECT_EQ(deskTurn->prompt, "push it hard");

  const auto danger = nextRequest("the force-push request");
  ASSERT_TRUE(danger);
  EXPECT_EQ(danger->tier, protocol::RiskTier::destructive);
  EXPECT_TRUE(contains(danger->narration.speech, "keyboard")) << danger->narration.speech;
  // Every way the phone has of pressing a key would approve it, or more.
  using TK = protocol::TermInput::Key;
  using SK = protocol::SendKey::Key;
  phone_->send(protocol::QuestionAnswer{.clientMsgID = "question-yes",
                                        .sessionID = sessionID_,
                                        .requestID = danger->requestID,
                                        .optionIndex = 0,
                                        .expectedLabel = "Yes"});
  phone_->send(protocol::TermInput{.sessionID = sessionID_, .text = "1"});
  phone_->send(protocol::TermInput{.sessionID = sessionID_, .key = TK::enter});
  phone_->send(protocol::SendKey{.sessionID = sessionID_, .key = SK::down});
  phone_->send(protocol::SendKey{.sessionID = sessionID_, .key = SK::btab});
  phone_->send(prompt("!git push --force origin main"));
  phone_->send(protocol::Interrupt{.sessionID = sessionID_});
  answer(*danger, 1);
  const auto refused = refusals(8);
  ASSERT_EQ(refused.size(), 8u) << failuresText(phone_->failures());
  const std::vector<std::string> codes{"question_failed",  "term_input_failed", "term_input_failed",
                                       "send_key_failed",  "send_key_failed",   "submit_failed",
                                       "interrupt_failed", "permission_failed"};
  for (std::size_t i = 0; i < refused.size(); ++i)
    EXPECT_EQ(refused[i].code, codes[i]) << refused[i].message;
  EXPECT_TRUE(contains(refused[1].message, "answer that request first")) << refused[1].message;
  EXPECT_TRUE(contains(refused[4].message, "Shift+Tab")) << refused[4].message;
  EXPECT_TRUE(contains(refused[7].message, "keyboard")) << refused[7].message;
  EXPECT_TRUE(contains(claude_->screen(), "git push --force origin main"));
  EXPECT_TRUE(contains(claude_->screen(), "Do you want to proceed?")) << claude_->screen();
  EXPECT_FALSE(base::runProcess(*base::findExecutable("git"),
                                {"-C", remote.string(), "rev-parse", "-q", "--verify", "main"})
                   .ok());

  answer(*danger, 3);
  const auto denied = resolutionOf(*danger);
  ASSERT_TRUE(denied);
  EXPECT_EQ(denied->by, By::phone);
  EXPECT_EQ(denied->chosenIndex, 3);
  ASSERT_TRUE(claude_->waitForScreen(
      [](const std::string& s) { return !contains(s, "Do you want to proceed?"); }));

  ASSERT_TRUE(claude_->waitForIdle(60s));

  // ---- what only the keyboard may do, at an idle box ----
  phone_->send(prompt("!touch shell-ran"));
  phone_->send(protocol::TermInput{.sessionID = sessionID_, .text = "!touch shell-ran"});
  phone_->send(prompt("/permissions"));
  phone_->send(
      protocol::TermInput{.sessionID = sessionID_, .text = "/permissions", .key = TK::enter});
  phone_->send(protocol::SendKey{.sessionID = sessionID_, .key = SK::btab});
  const auto keyboardOnly = refusals(5);
  ASSERT_EQ(keyboardOnly.size(), 5u) << failuresText(phone_->failures());
  EXPECT_TRUE(contains(keyboardOnly[1].message, "shell commands")) << keyboardOnly[1].message;
  EXPECT_TRUE(contains(keyboardOnly[3].message, "/permissions can only be run at the keyboard"))
      << keyboardOnly[3].message;
  // The typed command stays in the box, unsubmitted, until cleared.
  ASSERT_TRUE(claude_->waitForScreen(
      [](const std::string& s) {
        return inputBoxText(s) == std::optional<std::string>("/permissions");
      },
      10s))
      << claude_->screen();
  phone_->send(protocol::TermInput{.sessionID = sessionID_, .key = TK::ctrlU});
  ASSERT_TRUE(claude_->waitForScreen(
      [](const std::string& s) { return inputBoxText(s) == std::optional<std::string>(""); }, 10s))
      << claude_->screen();
  // Shift+Tab was never pressed: the mode is still manual.
  for (const char* granted : {"accept edits on", "plan mode on", "auto mode on"})
    EXPECT_FALSE(contains(claude_->screen(), granted)) << claude_->screen();
  EXPECT_FALSE(fs::exists(claude_->projectDir() / "shell-ran"));

  // ---- a dialog answered at the keyboard ----
  ToolCall touch = ToolCall::bash("touch desk-answered.txt", "Touch a file");
  claude_->api().enqueue(Turn::tools({touch}).then("Touched."));
  phone_->send(prompt("touch a file"));
  const auto atDesk = nextRequest("the touch request");
  ASSERT_TRUE(atDesk);
  claude_->press({"1"});
  const auto byDesk = resolutionOf(*atDesk);
  ASSERT_TRUE(byDesk);
  EXPECT_EQ(byDesk->by, By::desk);
  EXPECT_FALSE(byDesk->chosenIndex);
  ASSERT_TRUE(claude_->waitForIdle(60s));
}

}  // namespace
}  // namespace parley::test
