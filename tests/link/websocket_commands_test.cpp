// What the server does for an authenticated phone: commands handed to the
// session layer (de-duplicated where they carry an id), failures turned into "error"
// messages, ping/pong, the terminal stream, the heartbeat, and shedding under
// backpressure.

#include "server_fixture.hpp"

namespace parley::link::test {
namespace {

using parley::test::waitUntil;
using namespace protocol;

TEST_F(ServerTest, CommandsReachTheSessionLayerWithTheirArguments) {
  startServer();
  auto client = connectAuthenticated();
  client->send(SubmitPrompt{
      .clientMsgID = "c1", .sessionID = "S", .text = "fix it", .submit = false, .confidence = 0.5});
  client->send(Interrupt{.sessionID = "S"});
  client->send(
      PermissionAnswer{.clientMsgID = "c2", .requestID = "R", .nonce = "N", .optionIndex = 1});
  client->send(QuestionAnswer{.clientMsgID = "c3",
                              .sessionID = "S",
                              .requestID = "Q",
                              .questionIndex = 2,
                              .optionIndex = 0,
                              .expectedLabel = "Yes"});
  client->send(SendKey{.sessionID = "S", .key = SendKey::Key::btab});
  client->send(Focus{.sessionID = "S"});
  client->send(SetPrefs{.verbosity = SetPrefs::Verbosity::digest});
  client->send(TermInput{.sessionID = "S", .text = "ls", .key = TermInput::Key::enter});
  client->send(TermInput{.sessionID = "S"});
  client->untilPong();
  const std::vector<std::string> expected = {"submit:S|fix it|0|0.500000",
                                             "interrupt:S",
                                             "permissionAnswer:R|N|1",
                                             "questionAnswer:S|0|Yes",
                                             "sendKey:S|btab",
                                             "focus:S",
                                             "setPrefs:digest",
                                             "termInput:S|ls|enter",
                                             "termInput:S|-|-"};
  ASSERT_TRUE(waitUntil([&] { return commands->calls().size() == expected.size(); }));
  // One strand in the session layer, calls posted in order: they arrive in order.
  EXPECT_EQ(commands->calls(), expected);
}

TEST_F(ServerTest, ReSentPromptsAndAnswersRunOnceSharingOneKeySpace) {
  startServer();
  auto client = connectAuthenticated();
  const SubmitPrompt prompt{.clientMsgID = "0123456789abcdef", .sessionID = "S", .text = "go"};
  client->send(prompt);
  client->send(prompt);
  client->send(PermissionAnswer{.clientMsgID = "0123456789abcdef", .requestID = "R", .nonce = "N"});
  client->send(QuestionAnswer{.clientMsgID = "0123456789abcdef", .sessionID = "S"});
  client->send(QuestionAnswer{.clientMsgID = "other", .sessionID = "S"});
  client->untilPong();
  EXPECT_TRUE(reports.hasLog("deduped replayed submit_prompt 01234567"));
  EXPECT_TRUE(reports.hasLog("deduped replayed permission_answer 01234567"));
  EXPECT_TRUE(reports.hasLog("deduped replayed question_answer 01234567"));
  ASSERT_TRUE(waitUntil([&] { return commands->calls().size() == 2; }));
  EXPECT_EQ(commands->count("submit:"), 1);
  EXPECT_EQ(commands->count("questionAnswer:S|0|"), 1);

  // The cache outlives the connection: a reconnecting phone re-sending its
  // prompt does not type it twice.
  client = connectAuthenticated();
  client->send(prompt);
  client->untilPong();
  EXPECT_EQ(commands->count("submit:"), 1);
}

TEST_F(ServerTest, APingIsAnsweredAtOnceWithTheLatestSeq) {
  startServer();
  auto client = connectAuthenticated();
  publishAndWait(Vocab{.sessionID = "s"}, 3);
  for (int i = 0; i < 3; ++i)
    client->expectEnvelope();
  client->sendPong();  // a WebSocket pong without a ping reports no latency
  client->send(Ping{.nonce = "abc"});
  std::uint64_t seq = 0;
  EXPECT_EQ(client->expect<Pong>(&seq).echo, "abc");
  EXPECT_EQ(seq, 3u);
  // Pongs are not recorded: the next broadcast is 4.
  publishAndWait(Vocab{.sessionID = "s"});
  EXPECT_EQ(client->expectEnvelope().seq, 4u);
  EXPECT_TRUE(reports.eventsOf<Server::Latency>().empty());
}

TEST_F(ServerTest, CommandFailuresComeBackAsRetriableErrorsWithTheirCodes) {
  startServer();
  auto client = connectAuthenticated();
  struct Case {
    std::string operation;
    ClientMessage message;
    std::string code;
    std::optional<std::string> sessionID;
  };
  const std::vector<Case> cases = {
      {"submit", SubmitPrompt{.clientMsgID = "1", .sessionID = "S1"}, "submit_failed", "S1"},
      {"interrupt", Interrupt{.sessionID = "S2"}, "interrupt_failed", "S2"},
      {"permissionAnswer", PermissionAnswer{.clientMsgID = "2", .requestID = "R"},
       "permission_failed", std::nullopt},
      {"questionAnswer", QuestionAnswer{.clientMsgID = "3", .sessionID = "S3"}, "question_failed",
       "S3"},
      {"sendKey", SendKey{.sessionID = "S4"}, "send_key_failed", "S4"},
      {"paneSnapshot", GetPane{.sessionID = "S5", .lines = 10}, "get_pane_failed", "S5"},
      {"detail", GetDetail{.ref = "ref"}, "get_detail_failed", std::nullopt},
      {"focus", Focus{.sessionID = "S6"}, "focus_failed", "S6"},
      {"termInput", TermInput{.sessionID = "S7"}, "term_input_failed", "S7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    commands->failWith(c.operation, "no such session: X (" + c.operation + ")");
    client->send(c.message);
    std::uint64_t seq = 0;
    const Failure failure = client->expect<Failure>(&seq);
    EXPECT_EQ(failure.code, c.code);
    EXPECT_EQ(failure.message, "no such session: X (" + c.operation + ")");
    EXPECT_EQ(failure.sessionID, c.sessionID);
    EXPECT_TRUE(failure.retriable);
    EXPECT_EQ(seq, server->latestSeq());  // recorded in the ring like any broadcast
  }
}

TEST_F(ServerTest, PaneAndDetailRepliesAreBroadcast) {
  startServer();
  auto client = connectAuthenticated();
  client->send(GetPane{.sessionID = "S", .lines = 40});
  EXPECT_EQ(client->expect<PaneSnapshot>(), (PaneSnapshot{"S", 80, 24, "pane of S"}));
  EXPECT_EQ(commands->calls().back(), "paneSnapshot:S|40");

  client->send(GetDetail{.ref = "tool-7"});
  EXPECT_EQ(client->expect<ToolFinished>(), (ToolFinished{.sessionID = "",
                                                          .toolUseID = "tool-7",
                                                          .ok = true,
                                                          .summary = "full text of tool-7",
                                                          .truncated = false,
                                                          .detailRef = "tool-7"}));
}

TEST_F(ServerTest, WithoutASessionLayerCommandsAreIgnoredAndDetailAnswersEmpty) {
  startServer(testConfiguration(), /*attached=*/false);
  commands->setSessions({SessionDescriptor{.sessionID = "never asked"}});
  protocol::HelloAck ack;
  auto client = connectAuthenticated(std::nullopt, &ack);
  EXPECT_TRUE(ack.sessions.empty());
  client->send(SubmitPrompt{.clientMsgID = "1", .sessionID = "S"});
  client->send(GetPane{.sessionID = "S"});
  client->send(TermSubscribe{.sessionID = "S", .active = true});
  client->send(GetDetail{.ref = "r"});
  EXPECT_EQ(client->expect<ToolFinished>().summary, "");
  EXPECT_TRUE(client->untilPong().empty());
  EXPECT_TRUE(commands->calls().empty());

  // Attached later, it receives the next command, and the running terminal
  // stream starts asking it for frames.
  commands->setTermTexts({"screen"});
  server->attach(commands);
  client->send(Interrupt{.sessionID = "S"});
  EXPECT_EQ(client->expect<TermFrame>().text, "screen");
  EXPECT_TRUE(waitUntil([&] { return commands->count("interrupt:S") == 1; }));
}

TEST_F(ServerTest, ASessionLayerThatIsGoneIsTreatedAsAbsent) {
  startServer();
  auto client = connectAuthenticated();
  commands.reset();
  client->send(GetDetail{.ref = "r"});
  EXPECT_EQ(client->expect<ToolFinished>().summary, "");
}

// ---- terminal stream -------------------------------------------------------------

TEST_F(ServerTest, TheTerminalStreamSendsOnlyFramesWhoseTextChanged) {
  startServer();
  auto client = connectAuthenticated();
  commands->setTermTexts({"a", "a", "b", "b", "b", "c"});
  client->send(TermSubscribe{.sessionID = "S", .active = true});
  std::vector<std::string> texts;
  for (int i = 0; i < 3; ++i) {
    const TermFrame frame = client->expect<TermFrame>();
    EXPECT_EQ(frame.sessionID, "S");
    texts.push_back(frame.text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"a", "b", "c"}));
  // Many more polls of the unchanged "c" (with a new size each time) send
  // nothing.
  ASSERT_TRUE(waitUntil([&] { return commands->count("termFrame:S") >= 12; }));
  EXPECT_TRUE(client->untilPong().empty());

  // A new subscription starts afresh: its first frame is always sent.
  client->send(TermSubscribe{.sessionID = "T", .active = true});
  const TermFrame first = client->expect<TermFrame>();
  EXPECT_EQ(first.sessionID, "T");
  EXPECT_EQ(first.text, "c");

  // Unsubscribing ends the polling, whichever session it names.
  client->send(TermSubscribe{.sessionID = "other", .active = false});
  client->untilPong();
  const int polls = commands->count("termFrame:");
  client->untilPong();
  client->untilPong();
  EXPECT_LE(commands->count("termFrame:"), polls + 1);  // at most one already on its way
}

TEST_F(ServerTest, ATerminalFrameFailureIsReportedAndEndsTheStream) {
  startServer();
  auto client = connectAuthenticated();
  commands->failWith("termFrame", "pane %3 no longer exists");
  client->send(TermSubscribe{.sessionID = "S", .active = true});
  const Failure failure = client->expect<Failure>();
  EXPECT_EQ(failure.code, "term_frame_failed");
  EXPECT_EQ(failure.message, "pane %3 no longer exists");
  EXPECT_EQ(failure.sessionID, "S");
  client->untilPong();
  client->untilPong();
  EXPECT_EQ(commands->count("termFrame:"), 1);
}

TEST_F(ServerTest, TheTerminalStreamOutlivesTheConnection) {
  startServer();
  auto client = connectAuthenticated();
  commands->setTermTexts({"x"});
  client->send(TermSubscribe{.sessionID = "S", .active = true});
  EXPECT_EQ(client->expect<TermFrame>().text, "x");
  client.reset();
  ASSERT_TRUE(waitUntil([&] { return reports.eventsOf<Server::Disconnected>().size() == 1; }));
  const int polls = commands->count("termFrame:");
  EXPECT_TRUE(waitUntil([&] { return commands->count("termFrame:") > polls + 2; }));
}

// ---- heartbeat ----------------------------------------------------------------------

TEST_F(ServerTest, AnsweredPingsKeepThePhoneAndReportLatency) {
  auto configuration = testConfiguration();
  configuration.pingInterval = 20ms;
  configuration.pongDeadline = 5s;
  startServer(configuration);
  auto client = connectAuthenticated();
  // Reading answers the server's pings.
  while (client->pingsReceived() < 4 && !HasFailure())
    client->untilPong();
  EXPECT_TRUE(waitUntil([&] { return reports.eventsOf<Server::Latency>().size() >= 3; }));
  for (const auto& latency : reports.eventsOf<Server::Latency>())
    EXPECT_GE(latency.seconds, 0.0);
  EXPECT_TRUE(reports.eventsOf<Server::Disconnected>().empty());
  EXPECT_TRUE(server->hasAuthenticatedPeer());
}

TEST_F(ServerTest, APhoneThatStopsAnsweringPingsIsTornDown) {
  auto configuration = testConfiguration();
  configuration.pingInterval = 30ms;
  configuration.pongDeadline = 150ms;
  startServer(configuration);
  auto client = connectAuthenticated();
  while (client->pingsReceived() < 2 && !HasFailure())
    client->untilPong();
  // Not reading from here on: no pong goes back.
  // Reported, then logged.
  ASSERT_TRUE(waitUntil([&] {
    return reports.eventsOf<Server::Disconnected>() ==
               std::vector<Server::Disconnected>{{"pong deadline exceeded"}} &&
           reports.hasLogStartingWith("peer 127.0.0.1:");
  }));
  // The connection was cut, not closed with a code.
  EXPECT_EQ(client->next().kind, PhoneClient::Incoming::Kind::failed);
}

// ---- backpressure --------------------------------------------------------------------

// The seqs a report names; fails the test when its count or kinds disagree.
std::set<std::uint64_t> named(const Dropped& report) {
  std::set<std::uint64_t> seqs;
  EXPECT_TRUE(report.seqs.has_value());
  for (const auto& range : report.seqs.value_or(std::vector<Dropped::SeqRange>{})) {
    EXPECT_LE(range.first, range.last);
    for (std::uint64_t seq = range.first; seq <= range.last; ++seq)
      EXPECT_TRUE(seqs.insert(seq).second) << seq;
  }
  EXPECT_EQ(report.count, static_cast<std::int64_t>(seqs.size()));
  EXPECT_TRUE(std::is_sorted(report.kinds.begin(), report.kinds.end()));
  return seqs;
}

// What a phone saw: the seqs it received and those reports told it were shed.
struct Seen {
  std::set<std::uint64_t> received;
  std::set<std::uint64_t> shed;
  std::set<std::string> kinds;
  int reports = 0;

  void add(const ServerEnvelope& envelope) {
    if (const auto* report = std::get_if<Dropped>(&envelope.message)) {
      ++reports;
      for (const std::uint64_t seq : named(*report))
        EXPECT_TRUE(shed.insert(seq).second) << "reported twice: " << seq;
      kinds.insert(report->kinds.begin(), report->kinds.end());
    } else {
      EXPECT_TRUE(received.insert(envelope.seq).second) << "received twice: " << envelope.seq;
      EXPECT_EQ(shed.count(envelope.seq), 0u) << "received after it was reported shed";
    }
  }
  // Every seq from 1 to `last` exactly once, received or reported.
  void expectAllAccountedTo(std::uint64_t last) const {
    std::set<std::uint64_t> all = received;
    all.insert(shed.begin(), shed.end());
    EXPECT_EQ(all.size(), received.size() + shed.size());
    EXPECT_EQ(all.size(), last);
    EXPECT_EQ(*all.rbegin(), last);
  }
};

// Large frames fill the socket buffers of a phone that does not read; then
// the ring, then the queue sheds. Publishes alternate tool starts and
// vocabulary, ending each round with an unsheddable message.
void flood(Server& server, int messages) {
  const std::string bulk(64 * 1024, 'x');
  for (int i = 0; i < messages; ++i) {
    if (i % 2 == 0)
      server.publish(ToolStarted{
          .sessionID = "S", .toolUseID = std::to_string(i), .narration = {.text = bulk}});
    else
      server.publish(Vocab{.sessionID = "S", .terms = {bulk}});
  }
  server.publish(AssistantText{.sessionID = "S", .narration = {.text = "end of round"}});
}

TEST_F(ServerTest, AReaderThatStopsReadingIsToldExactlyWhatWasShed) {
  auto configuration = testConfiguration();
  configuration.sendQueueCapacity = 8;
  configuration.ringCapacity = 64;
  startServer(configuration);
  auto client = connectAuthenticated();

  for (int round = 0; round < 20 && !reports.hasLogStartingWith("shed "); ++round) {
    flood(*server, 200);
    waitUntil([&] { return reports.hasLogStartingWith("shed "); }, 200ms);
  }
  ASSERT_TRUE(reports.hasLogStartingWith("shed "));

  // Reading again: every message arrives or is named in a drop report.
  Seen seen;
  const std::uint64_t published = server->latestSeq();
  while (seen.received.size() + seen.shed.size() < published && !HasFailure())
    seen.add(client->expectEnvelope());
  seen.expectAllAccountedTo(published);
  EXPECT_FALSE(seen.shed.empty());
  EXPECT_EQ(seen.kinds, (std::set<std::string>{"tool_started", "vocab"}));
  EXPECT_TRUE(reports.eventsOf<Server::Disconnected>().empty());
}

TEST_F(ServerTest, WhatWasShedIsToldAtTheNextHelloEvenPastTheRingAndOnlyOnce) {
  auto configuration = testConfiguration();
  configuration.sendQueueCapacity = 4;
  configuration.ringCapacity = 16;
  configuration.dropReportDelay = 1h;  // the phone leaves before any report
  startServer(configuration);
  auto client = connectAuthenticated();
  Seen seen;
  for (int round = 0; round < 20 && seen.received.size() == server->latestSeq(); ++round) {
    flood(*server, 100);
    const std::uint64_t end = server->latestSeq();
    while (!seen.received.contains(end) && !HasFailure())
      seen.add(client->expectEnvelope());
  }
  ASSERT_EQ(seen.reports, 0);
  const std::uint64_t lastSeq = server->latestSeq();
  const auto missed = static_cast<std::int64_t>(lastSeq - seen.received.size());
  ASSERT_GT(missed, 0);
  client.reset();

  // Away long enough that the ring holds nothing the phone saw.
  publishAndWait(Vocab{.sessionID = "S"}, 20);
  protocol::HelloAck ack;
  client = connectAuthenticated(lastSeq, &ack);
  EXPECT_TRUE(ack.gap);
  const Dropped report = client->expect<Dropped>();
  EXPECT_EQ(report.count, missed);
  seen.add(ServerEnvelope(0, {}, report));
  seen.expectAllAccountedTo(lastSeq);
  EXPECT_TRUE(client->untilPong().empty());

  // Told is told: a phone that read on is not told again.
  publishAndWait(Vocab{.sessionID = "S"});
  const std::uint64_t next = client->expectEnvelope().seq;
  client.reset();
  client = connectAuthenticated(next, &ack);
  EXPECT_FALSE(ack.gap);
  EXPECT_TRUE(client->untilPong().empty());
}

TEST_F(ServerTest, APhoneThatReadsNothingWhileUnsheddableFramesPileUpIsCutOff) {
  auto configuration = testConfiguration();
  configuration.sendQueueCapacity = 4;
  configuration.sendBacklogLimit = 16;
  configuration.ringCapacity = 64;
  startServer(configuration);
  auto client = connectAuthenticated();
  const std::string bulk(64 * 1024, 'x');
  for (int i = 0; i < 1000 && reports.eventsOf<Server::Disconnected>().empty(); ++i) {
    server->publish(AssistantText{.sessionID = "S", .narration = {.text = bulk}});
    waitUntil([&] { return server->latestSeq() == static_cast<std::uint64_t>(i + 1); });
  }
  const auto disconnected = reports.eventsOf<Server::Disconnected>();
  ASSERT_EQ(disconnected.size(), 1u);
  EXPECT_EQ(disconnected[0].reason, "send error: 17 frames backlogged");
  EXPECT_FALSE(server->hasAuthenticatedPeer());
}

}  // namespace
}  // namespace parley::link::test
