// Permission requests, their answers and the events around a turn, end to
// end: real Claude Code asks, the phone sees the request, answers it (or is
// refused), and follows the turn.

#include "bridge_fixture.hpp"

namespace parley::test {
namespace {

using Kind = protocol::PermissionOption::Kind;
using By = protocol::PermissionResolved::By;

class Permissions : public Bridge {
 protected:
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
  // The session waits while the request is open.
  const auto waiting = latestDescriptor();
  ASSERT_TRUE(waiting);
  EXPECT_EQ(waiting->state, SessionState::waiting);

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
  answer(*danger, 1);
  const auto refused = phone_->waitFor<protocol::Failure>("the refusal");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->code, "permission_failed");
  EXPECT_TRUE(contains(refused->message, "keyboard")) << refused->message;
  EXPECT_EQ(phone_->failures().size(), 1u) << failuresText(phone_->failures());
  EXPECT_TRUE(contains(claude_->screen(), "git push --force origin main"));
  EXPECT_TRUE(contains(claude_->screen(), "Do you want to proceed?")) << claude_->screen();

  answer(*danger, 3);
  const auto denied = resolutionOf(*danger);
  ASSERT_TRUE(denied);
  EXPECT_EQ(denied->by, By::phone);
  EXPECT_EQ(denied->chosenIndex, 3);
  ASSERT_TRUE(claude_->waitForScreen(
      [](const std::string& s) { return !contains(s, "Do you want to proceed?"); }));

  ASSERT_TRUE(claude_->waitForIdle(60s));

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
