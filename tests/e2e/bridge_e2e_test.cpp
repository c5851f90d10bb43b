// The whole bridge with real processes: Claude Code 2.1.222 in a private tmux
// pane whose hooks were registered by the real `parley hooks install`, the
// real `parley run` on a free port with a scripted `tailscale` first on PATH,
// a device paired with the real `parley pair`, and a WebSocket client playing
// that phone over loopback.

#include "bridge_fixture.hpp"
#include "link/push_crypto.hpp"

namespace parley::test {
namespace {

TEST_F(Bridge, HelloAckListsTheSessionAndThePhoneSeesItsPane) {
  EXPECT_TRUE(contains(hooksInstallOutput_, "hooks installed: added 9")) << hooksInstallOutput_;
  EXPECT_FALSE(helloAck_.gap);
  // What was broadcast while the sessions were listed follows the answer.
  EXPECT_EQ(phone_->taken().size(), 1u) << phone_->received();
  EXPECT_LE(helloAck_.resumedFromSeq, phone_->helloSeq());
  const auto session = find(helloAck_.sessions, sessionID_);
  ASSERT_TRUE(session) << "hello_ack lacks session " << sessionID_ << ": " << phone_->received();
  EXPECT_EQ(session->paneID, claude_->pane());
  EXPECT_EQ(session->socketPath, claude_->socketPath().string());
  EXPECT_EQ(session->tmuxSession, "claude");
  EXPECT_EQ(session->pid, claude_->pid());
  EXPECT_EQ(session->cwd, claude_->projectDir().string());
  EXPECT_EQ(session->claudeVersion, "2.1.222");
  EXPECT_EQ(session->state, SessionState::idle);
  EXPECT_EQ(session->permissionMode, protocol::PermissionMode::default_);

  // Whether a version is supported is not on the wire; the desk's own listing
  // shows it, from the same registry code over the same files.
  const ProcessResult listed = parley({"sessions"});
  ASSERT_TRUE(listed.ok()) << listed.err;
  EXPECT_TRUE(contains(listed.out, "pane " + claude_->pane())) << listed.out;
  EXPECT_TRUE(contains(listed.out, "Claude Code 2.1.222")) << listed.out;
  EXPECT_FALSE(contains(listed.out, "announce-only")) << listed.out;

  // The desk sees the phone, and the device store remembers it was seen.
  EXPECT_TRUE(app_->waitForOutput("Phone connected"));
  const ProcessResult devices = parley({"devices", "--json"});
  ASSERT_TRUE(devices.ok()) << devices.err;
  const json::array list = json::parse(devices.out).as_array();
  ASSERT_EQ(list.size(), 1u) << devices.out;
  EXPECT_EQ(list[0].at("deviceName"), "Phone");
  EXPECT_TRUE(list[0].as_object().contains("lastSeen")) << devices.out;

  // The phone sees the pane: a snapshot on request, and a stream of frames.
  claude_->type("draft typed at the desk");
  ASSERT_TRUE(claude_->waitForScreen(
      [](const std::string& s) { return inputBoxText(s) == "draft typed at the desk"; }));

  phone_->send(protocol::GetPane{.sessionID = sessionID_, .lines = 0});
  const auto snapshot = phone_->waitFor<protocol::PaneSnapshot>("the pane snapshot");
  ASSERT_TRUE(snapshot);
  EXPECT_EQ(snapshot->sessionID, sessionID_);
  EXPECT_EQ(snapshot->cols, 110);
  EXPECT_EQ(snapshot->rows, 45);
  EXPECT_EQ(inputBoxText(snapshot->text), "draft typed at the desk") << snapshot->text;
  EXPECT_FALSE(contains(snapshot->text, "\x1b[")) << "a snapshot is plain text";

  phone_->send(protocol::TermSubscribe{.sessionID = sessionID_, .active = true});
  const auto frame = phone_->waitFor<protocol::TermFrame>("the first terminal frame");
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->sessionID, sessionID_);
  EXPECT_EQ(frame->cols, 110);
  EXPECT_EQ(frame->rows, 45);
  EXPECT_TRUE(contains(frame->text, "draft typed at the desk")) << frame->text;
  EXPECT_TRUE(contains(frame->text, "\x1b[")) << "a terminal frame keeps its escapes";

  // The stream follows the screen: what is typed next shows up in a later
  // frame.
  claude_->type(" and finished later");
  const auto changed = phone_->waitFor<protocol::TermFrame>(
      "a frame with the new text", 60s,
      [](const protocol::TermFrame& f) { return contains(f.text, "and finished later"); });
  ASSERT_TRUE(changed);
  EXPECT_TRUE(contains(changed->text, "draft typed at the desk and finished later"))
      << changed->text;

  phone_->send(protocol::TermSubscribe{.sessionID = sessionID_, .active = false});
  phone_->sync();
  EXPECT_TRUE(phone_->failures().empty()) << failuresText(phone_->failures());
}

TEST_F(Bridge, APromptFromThePhoneRunsATurnWhoseNarrationReachesThePhone) {
  // A command that writes a file, so Claude Code asks first.
  ToolCall bash =
      ToolCall::bash("echo parley-e2e-ran > marker.txt && cat marker.txt", "Write a marker");
  bash.id = "toolu_01BridgeE2eBashMarker0001";
  claude_->api().enqueue(
      Turn::tools({bash}).then("## Done\n\nThe marker printed **parley-e2e-ran** as expected."));
  const std::string text = "run the marker command and report";
  phone_->send(prompt(text));

  const auto started = phone_->waitFor<protocol::ToolStarted>("the Bash tool start");
  ASSERT_TRUE(started);
  // The prompt reached the model exactly as the phone sent it.
  ASSERT_TRUE(claude_->api().waitForMainRequests(1, 30s));
  EXPECT_EQ(claude_->api().mainRequests().at(0).userText(), text);
  EXPECT_EQ(started->sessionID, sessionID_);
  EXPECT_EQ(started->toolName, "Bash");
  EXPECT_EQ(started->toolUseID, bash.id);
  EXPECT_EQ(started->narration.text, "Working\u2026");
  EXPECT_FALSE(started->narration.speak);

  // Claude Code asks before running the command; the phone watches the
  // session wait, looks at the pane, and answers the request it was shown.
  ASSERT_TRUE(phone_->waitFor<protocol::SessionUpdate>(
      "the session waiting for permission", 60s, [&](const protocol::SessionUpdate& u) {
        const auto d = find(u.sessions, sessionID_);
        return d && d->state == SessionState::waiting;
      }));
  ASSERT_TRUE(paneUntil([](const std::string& s) { return contains(s, "Do you want to proceed?"); },
                        "the Bash permission dialog"));
  // The request may come before or after the screen shows its dialog.
  const auto taken = ofType<protocol::PermissionRequest>(phone_->taken());
  const auto asked =
      taken.empty() ? nextRequest("the Bash request") : std::optional(taken.front().second);
  ASSERT_TRUE(asked) << phone_->received();
  phone_->send(protocol::PermissionAnswer{.clientMsgID = "allow-marker",
                                          .requestID = asked->requestID,
                                          .nonce = asked->nonce,
                                          .optionIndex = 1});

  const auto finished = phone_->waitFor<protocol::TurnFinished>("the turn's end");
  ASSERT_TRUE(finished);
  ASSERT_TRUE(claude_->api().waitForMainRequests(2, 30s));
  const auto results = claude_->api().mainRequests().at(1).toolResults();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].toolUseId, bash.id);
  EXPECT_EQ(results[0].content, "parley-e2e-ran");
  EXPECT_EQ(readAll(claude_->projectDir() / "marker.txt"), "parley-e2e-ran\n");

  const auto& got = phone_->taken();
  const auto texts = ofType<protocol::AssistantText>(got);
  ASSERT_EQ(texts.size(), 1u) << phone_->received();
  const auto& answer = texts[0].second;
  EXPECT_EQ(answer.sessionID, sessionID_);
  EXPECT_TRUE(answer.final);
  EXPECT_FALSE(answer.isSidechain);
  EXPECT_EQ(answer.narration.text, "## Done\n\nThe marker printed **parley-e2e-ran** as expected.");
  // Spoken without the Markdown marks.
  EXPECT_TRUE(contains(answer.narration.speech, "The marker printed parley-e2e-ran as expected."))
      << answer.narration.speech;
  EXPECT_FALSE(contains(answer.narration.speech, "*")) << answer.narration.speech;
  EXPECT_FALSE(contains(answer.narration.speech, "#")) << answer.narration.speech;
  EXPECT_TRUE(answer.narration.speak);
  EXPECT_EQ(finished->sessionID, sessionID_);
  EXPECT_EQ(finished->narration.text, answer.narration.text);
  EXPECT_EQ(finished->narration.speech, answer.narration.speech);
  EXPECT_FALSE(finished->narration.speak);
  ASSERT_TRUE(finished->promptID);
  EXPECT_EQ(*finished->promptID, answer.messageUUID);

  // The session went busy with the prompt and idle at the turn's end, each
  // hook's update ahead of that hook's narration; nothing was shed.
  const auto updates = ofType<protocol::SessionUpdate>(got);
  ASSERT_FALSE(updates.empty());
  const auto first = find(updates.front().second.sessions, sessionID_);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->state, SessionState::busy);
  EXPECT_LT(updates.front().first, ofType<protocol::ToolStarted>(got).at(0).first);
  const auto last = latestDescriptor();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->state, SessionState::idle);
  EXPECT_LT(updates.back().first, texts[0].first);
  EXPECT_EQ(texts[0].first + 1, ofType<protocol::TurnFinished>(got).at(0).first);
  // From the hello_ack on (it repeats the latest seq, which a broadcast
  // sent live during the handshake, such as the vocabulary, may hold).
  std::size_t ack = 0;
  while (ack < got.size() && !std::holds_alternative<protocol::HelloAck>(got[ack].message))
    ++ack;
  for (std::size_t i = ack + 1; i < got.size(); ++i) {
    // The first message after the ack may be the broadcast whose seq it repeats.
    if (i == ack + 1 && got[i].seq == got[ack].seq)
      continue;
    EXPECT_EQ(got[i].seq, got[i - 1].seq + 1) << "a broadcast went missing";
  }

  phone_->sync();
  EXPECT_TRUE(phone_->failures().empty()) << failuresText(phone_->failures());
  EXPECT_TRUE(app_->waitForOutput("sent to " + label_ + ": " + text));
}

TEST_F(Bridge, AnImageFromThePhoneReachesTheModelWithItsPrompt) {
  const std::string png =
      readAll(std::filesystem::path(PARLEY_SOURCE_DIR) / "web/phone/icon-192.png");
  // Three parts, as the page sends a larger photo.
  const std::size_t part = png.size() / 3 + 1;
  for (std::size_t i = 0; i * part < png.size(); ++i)
    phone_->send(protocol::UploadImage{.uploadID = "up-1",
                                       .sessionID = sessionID_,
                                       .part = static_cast<std::int64_t>(i),
                                       .last = (i + 1) * part >= png.size(),
                                       .data = link::base64UrlEncode(png.substr(i * part, part))});
  const auto stored = phone_->waitFor<protocol::ImageStored>("the stored image");
  ASSERT_TRUE(stored) << phone_->received();

  claude_->api().enqueue(Turn::text("A blue square."));
  auto withImage = prompt("what is in this picture");
  withImage.images = std::vector<std::string>{stored->imageID};
  phone_->send(withImage);
  ASSERT_TRUE(phone_->waitFor<protocol::TurnFinished>("the turn's end", 60s));
  ASSERT_TRUE(claude_->api().waitForMainRequests(1, 30s));
  const auto request = claude_->api().mainRequests().back();
  EXPECT_NE(request.userText().find("what is in this picture"), std::string::npos);
  // The image block carries exactly the bytes the phone sent.
  const auto* messages = request.body.as_object().if_contains("messages");
  ASSERT_TRUE(messages);
  std::optional<std::string> sent;
  for (const auto& message : messages->as_array()) {
    const auto* content = message.as_object().if_contains("content");
    if (content == nullptr || !content->is_array())
      continue;
    for (const auto& block : content->as_array()) {
      if (block.as_object().at("type") == "image")
        sent = std::string(block.at_pointer("/source/data").as_string());
    }
  }
  ASSERT_TRUE(sent) << boost::json::serialize(*messages);
  std::string url = *sent;
  std::replace(url.begin(), url.end(), '+', '-');
  std::replace(url.begin(), url.end(), '/', '_');
  EXPECT_EQ(link::base64UrlDecode(url), png);
}

TEST_F(Bridge, AQuestionAnswerFromThePhonePicksTheOption) {
  ToolCall question =
      ToolCall::askUserQuestion("Which database should we use?", "Database",
                                {{"Postgres", "Relational server"}, {"SQLite", "Embedded file"}});
  question.id = "toolu_01BridgeE2eQuestion00001";
  claude_->api().enqueue(Turn::tools({question}).then("Going with SQLite."));
  phone_->send(prompt("pick a database with me"));

  const auto asked = phone_->waitFor<protocol::QuestionRequest>("the question");
  ASSERT_TRUE(asked);
  EXPECT_EQ(asked->sessionID, sessionID_);
  EXPECT_EQ(asked->requestID, question.id);
  ASSERT_EQ(asked->questions.size(), 1u);
  const auto& q = asked->questions[0];
  EXPECT_EQ(q.text, "Which database should we use?");
  EXPECT_EQ(q.header, "Database");
  ASSERT_EQ(q.options.size(), 2u);
  EXPECT_EQ(q.options[1].label, "SQLite");
  EXPECT_TRUE(asked->narration.speak);
  EXPECT_TRUE(contains(asked->narration.speech, "Option 2: SQLite.")) << asked->narration.speech;
  // No tool start is narrated for the question tool itself.
  EXPECT_TRUE(ofType<protocol::ToolStarted>(phone_->all()).empty()) << phone_->received();

  // Someone reading the question on the phone answers after the dialog is
  // drawn; the pane shows when it is.
  ASSERT_TRUE(paneUntil(
      [](const std::string& s) { return contains(s, "2. SQLite") && contains(s, "Postgres"); },
      "the question dialog"));
  phone_->send(protocol::QuestionAnswer{.clientMsgID = "answer-1",
                                        .sessionID = sessionID_,
                                        .requestID = asked->requestID,
                                        .questionIndex = 0,
                                        .optionIndex = 1,
                                        .expectedLabel = q.options[1].label});

  const auto finished = phone_->waitFor<protocol::TurnFinished>("the turn's end");
  ASSERT_TRUE(finished);
  EXPECT_EQ(finished->narration.text, "Going with SQLite.");
  ASSERT_TRUE(claude_->api().waitForMainRequests(2, 30s));
  const auto results = claude_->api().mainRequests().at(1).toolResults();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].toolUseId, question.id);
  EXPECT_TRUE(contains(results[0].content, "\"Which database should we use?\"=\"SQLite\""))
      << results[0].content;

  phone_->sync();
  EXPECT_TRUE(phone_->failures().empty()) << failuresText(phone_->failures());
  EXPECT_TRUE(app_->waitForOutput("answered question in " + label_ + ": SQLite"));
}

TEST_F(Bridge, AnInterruptFromThePhoneStopsAStreamingTurn) {
  claude_->api().enqueue(Turn::slow("Streaming slowly"));
  phone_->send(prompt("tell me a very long story"));
  ASSERT_TRUE(phone_->waitFor<protocol::SessionUpdate>(
      "the session busy with the prompt", 60s, [&](const protocol::SessionUpdate& u) {
        const auto d = find(u.sessions, sessionID_);
        return d && d->state == SessionState::busy;
      }));
  ASSERT_TRUE(phone_->keepAliveUntil(
      [&] { return claude_->api().slowStreaming() && contains(claude_->screen(), "word2"); }, 60s,
      "the answer to stream onto the screen"));

  phone_->send(protocol::Interrupt{.sessionID = sessionID_});
  const auto stopped = phone_->waitFor<protocol::Interrupted>("the interruption");
  ASSERT_TRUE(stopped);
  EXPECT_EQ(stopped->sessionID, sessionID_);
  EXPECT_FALSE(stopped->detectedVia.empty());
  ASSERT_TRUE(phone_->keepAliveUntil(
      [&] { return contains(claude_->screen(), "Interrupted") && !claude_->api().slowStreaming(); },
      60s, "Claude Code to stop the turn"));
  EXPECT_TRUE(contains(claude_->screen(), "What should Claude do instead?")) << claude_->screen();
  EXPECT_EQ(claude_->api().mainRequests().size(), 1u);
  // Stopped, not finished: there is no turn end to narrate.
  phone_->sync();
  EXPECT_TRUE(ofType<protocol::TurnFinished>(phone_->all()).empty()) << phone_->received();
  EXPECT_TRUE(ofType<protocol::AssistantText>(phone_->all()).empty()) << phone_->received();
  EXPECT_TRUE(phone_->failures().empty()) << failuresText(phone_->failures());
  EXPECT_TRUE(app_->waitForOutput("interrupted " + label_));
}

TEST_F(Bridge, APhoneThatReconnectsWithItsLastSeqReceivesWhatItMissed) {
  // One exchange first, so the phone has a sequence number of its own.
  claude_->api().enqueue(Turn::text("First answer."));
  phone_->send(prompt("say something"));
  ASSERT_TRUE(phone_->waitFor<protocol::TurnFinished>("the first turn's end"));
  phone_->sync();
  const std::uint64_t lastSeq = phone_->lastSeq();
  ASSERT_GT(lastSeq, 0u);

  // The phone goes away; work goes on at the desk.
  phone_.reset();
  ASSERT_TRUE(app_->waitForOutput("phone disconnected ("));
  claude_->api().enqueue(Turn::text("Answer given while the phone was away."));
  claude_->submit("a prompt typed at the desk");
  ASSERT_TRUE(app_->waitForOutput("Answer given while the phone was away."));

  phone_ = std::make_unique<Phone>(port_);
  const auto resumed = phone_->hello(token_, lastSeq);
  EXPECT_FALSE(resumed.gap);
  EXPECT_EQ(resumed.resumedFromSeq, lastSeq);
  const std::uint64_t latest = phone_->helloSeq();
  ASSERT_GT(latest, lastSeq) << "nothing was broadcast while the phone was away";
  ASSERT_TRUE(phone_->waitFor<protocol::TurnFinished>(
      "the desk turn's end", 60s, [](const protocol::TurnFinished& t) {
        return t.narration.text == "Answer given while the phone was away.";
      }));

  // Everything after the phone's last seq, in order, none missing: first
  // what the ring replayed, then (possibly) live broadcasts.
  const auto& got = phone_->taken();
  std::size_t ack = 0;
  while (ack < got.size() && !std::holds_alternative<protocol::HelloAck>(got[ack].message))
    ++ack;
  ASSERT_LT(ack + 1, got.size());
  std::uint64_t expected = lastSeq + 1;
  for (std::size_t i = ack + 1; i < got.size(); ++i, ++expected)
    EXPECT_EQ(got[i].seq, expected) << phone_->received();
  EXPECT_GE(got.size() - ack - 1, latest - lastSeq);
  const auto prompted = std::get_if<protocol::SessionUpdate>(&got[ack + 1].message);
  ASSERT_NE(prompted, nullptr) << phone_->received();
  ASSERT_TRUE(find(prompted->sessions, sessionID_));
  EXPECT_EQ(find(prompted->sessions, sessionID_)->state, SessionState::busy);
  const auto texts = ofType<protocol::AssistantText>(got);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].second.narration.text, "Answer given while the phone was away.");
  EXPECT_TRUE(phone_->failures().empty()) << failuresText(phone_->failures());
}

// Claude Code started while the application already runs and a phone is
// connected: the session must be drivable as soon as its first hook arrives,
// not only after the next periodic refresh.
class LateSessionBridge : public Bridge {
 protected:
  void SetUp() override {
    PARLEY_REQUIRE_CLAUDE_CODE();
    putTailscaleOnPath();
    port_ = freePort();

    ClaudeCodeOptions options;
    options.prepareHome = [this](const fs::path& home) {
      home_ = home;
      if (!runProcess({binPath("parley").string(), "hooks", "install"}, environment(home)).ok())
        throw std::runtime_error("parley hooks install failed");
      app_ = std::make_unique<ParleyApp>(environment(home), port_, scratch_.path());
      if (!app_->waitForOutput("hook socket listening at "))
        throw std::runtime_error("parley run did not start");
      const ProcessResult paired =
          parley({"pair", "--name", "Phone", "--json", "--port", std::to_string(port_)});
      if (!paired.ok())
        throw std::runtime_error("parley pair failed: " + paired.err);
      token_ = std::string(json::parse(paired.out).at("token").as_string());
      phone_ = std::make_unique<Phone>(port_);
      helloAck_ = phone_->hello(token_);
    };
    claude_ = std::make_unique<ClaudeCodeSession>(options);
  }
};

TEST_F(LateSessionBridge, ASessionStartedAfterTheAppCanBeDrivenAtOnce) {
  EXPECT_TRUE(helloAck_.sessions.empty());
  // The first hook of the new session already brings its full description.
  const auto update = phone_->waitFor<protocol::SessionUpdate>(
      "the new session with its version", 60s, [](const protocol::SessionUpdate& u) {
        return u.sessions.size() == 1 && u.sessions[0].claudeVersion == "2.1.222";
      });
  ASSERT_TRUE(update);
  sessionID_ = update->sessions[0].sessionID;
  EXPECT_EQ(update->sessions[0].paneID, claude_->pane());

  claude_->api().enqueue(Turn::text("Ready when you are."));
  phone_->send(prompt("are you there"));
  ASSERT_TRUE(phone_->waitFor<protocol::TurnFinished>("the turn's end"));
  ASSERT_TRUE(claude_->api().waitForMainRequests(1, 30s));
  EXPECT_EQ(claude_->api().mainRequests().at(0).userText(), "are you there");
  EXPECT_TRUE(phone_->failures().empty()) << failuresText(phone_->failures());
}

}  // namespace
}  // namespace parley::test
