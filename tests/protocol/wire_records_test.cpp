#include <gtest/gtest.h>

#include "protocol/client_messages.hpp"
#include "protocol/server_messages.hpp"
#include "protocol/session.hpp"

namespace parley::protocol {
namespace {

using namespace std::chrono;

SessionDescriptor minimalDescriptor() {
  SessionDescriptor d;
  d.sessionID = "993ca02b";
  d.paneID = "%3";
  d.socketPath = "/tmp/tmux-1000/default";
  d.tmuxSession = "";
  d.pid = 4242;
  d.cwd = "/home/dev/proj";
  d.permissionMode = PermissionMode::acceptEdits;
  d.state = SessionState::waiting;
  d.lastActivity = sys_days{2025y / January / 31} + 9h + 15min;
  return d;
}

// Every payload below is written by hand with all its keys in wire order; a
// record must decode it and encode exactly the same text back.
struct Sample {
  std::string_view type;
  std::string_view payload;
};

const Sample kServerSamples[] = {
    {"hello_ack",
     R"({"serverVersion":"0.1.0","resumedFromSeq":7,"gap":true,"sessions":[{"sessionID":"s","paneID":"%1","socketPath":"/tmp/t","tmuxSession":"work","pid":12,"cwd":"/p","displayName":"d","title":"t","gitBranch":"main","model":"opus","permissionMode":"plan","state":"busy","waitingFor":"permission","transcriptPath":"/p/t.jsonl","claudeVersion":"2.1.222","lastActivity":"2025-01-31T09:15:00Z"}]})"},
    {"session_update", R"({"sessions":[]})"},
    {"turn_started", R"({"sessionID":"s","promptID":"p","prompt":"run it","origin":"desk"})"},
    {"assistant_text",
     R"j({"sessionID":"s","messageUUID":"u","narration":{"text":"Hi ![x](a.png)","speech":"Hi x","speak":true,"images":["a.png"]},"final":true,"isSidechain":false})j"},
    {"tool_started",
     R"({"sessionID":"s","toolUseID":"t","toolName":"Bash","narration":{"text":"Working…","speech":"","speak":false}})"},
    {"tool_finished",
     R"({"sessionID":"","toolUseID":"t","ok":false,"summary":"exit 1","truncated":true,"detailRef":"d1","durationMS":250})"},
    {"permission_request",
     R"({"sessionID":"s","requestID":"r","nonce":"n","toolName":"Bash","detail":"ls","description":"List","options":[{"index":1,"label":"Yes","kind":"allowOnce"},{"index":3,"label":"No","kind":"deny"}],"tier":"elevated","narration":{"text":"t","speech":"s","speak":true}})"},
    {"question_request",
     R"({"sessionID":"s","requestID":"r","questions":[{"header":"Color","text":"Which?","multiSelect":true,"options":[{"label":"Red","description":"warm"},{"label":"Blue"}]}],"narration":{"text":"Which?","speech":"Claude has a question.","speak":true}})"},
    {"permission_resolved", R"({"requestID":"r","chosenIndex":2,"by":"refused"})"},
    {"turn_finished",
     R"({"sessionID":"s","promptID":"p","narration":{"text":"t","speech":"s","speak":false},"durationMS":1200})"},
    {"interrupted", R"({"sessionID":"s","detectedVia":"screen"})"},
    {"pane_snapshot", R"({"sessionID":"s","cols":110,"rows":45,"text":"❯ "})"},
    {"term_frame", R"({"sessionID":"s","cols":80,"rows":24,"text":"$ ls\n"})"},
    {"vocab", R"({"sessionID":"s","terms":["tmux","Parley"]})"},
    {"dropped", R"({"count":3,"kinds":["tool_finished","tool_started"]})"},
    {"error",
     R"({"code":"prompt_failed","message":"pane is gone","sessionID":"s","retriable":true})"},
    {"pong", R"({"echo":"n-1"})"},
};

const Sample kClientSamples[] = {
    {"hello",
     R"({"token":"tok","deviceID":"d","appVersion":"1.0","lastSeq":18446744073709551615})"},
    {"submit_prompt",
     R"({"clientMsgID":"c","sessionID":"s","text":"fix the bug","submit":false,"confidence":5E-1})"},
    {"interrupt", R"({"sessionID":"s"})"},
    {"permission_answer", R"({"clientMsgID":"c","requestID":"r","nonce":"n","optionIndex":2})"},
    {"question_answer",
     R"({"clientMsgID":"c","sessionID":"s","requestID":"r","questionIndex":0,"optionIndex":1,"expectedLabel":"Blue"})"},
    {"send_key", R"({"sessionID":"s","key":"ctrlO"})"},
    {"get_pane", R"({"sessionID":"s","lines":40})"},
    {"get_detail", R"({"ref":"d1"})"},
    {"focus", R"({"sessionID":"s"})"},
    {"set_prefs", R"({"ttsEnabled":true,"verbosity":"finalOnly","speakTools":false})"},
    {"term_input", R"({"sessionID":"s","text":"ls","key":"ctrlU"})"},
    {"term_subscribe", R"({"sessionID":"s","active":true})"},
    {"ping", R"({"nonce":"n-1"})"},
};

TEST(ServerMessages, EveryCaseDecodesAndReencodesItsHandWrittenPayload) {
  std::size_t index = 0;
  for (const Sample& s : kServerSamples) {
    SCOPED_TRACE(s.type);
    const ServerMessage m = ServerMessage::decode(s.type, parseJson(s.payload));
    EXPECT_EQ(m.index(), index++) << "cases are tried in declaration order";
    EXPECT_EQ(m.type(), s.type);
    EXPECT_EQ(json::serialize(m.payloadJson()), s.payload);
  }
  EXPECT_EQ(index, std::variant_size_v<ServerMessageVariant>);
}

TEST(ClientMessages, EveryCaseDecodesAndReencodesItsHandWrittenPayload) {
  std::size_t index = 0;
  for (const Sample& s : kClientSamples) {
    SCOPED_TRACE(s.type);
    const ClientMessage m = ClientMessage::decode(s.type, parseJson(s.payload));
    EXPECT_EQ(m.index(), index++);
    EXPECT_EQ(m.type(), s.type);
    EXPECT_EQ(json::serialize(m.payloadJson()), s.payload);
  }
  EXPECT_EQ(index, std::variant_size_v<ClientMessageVariant>);
}

TEST(ServerMessages, AbsentOptionalsLeaveNoKeysAndNoNulls) {
  ToolFinished finished{.sessionID = "s", .toolUseID = "t", .ok = true, .summary = "done"};
  EXPECT_EQ(json::serialize(finished.toJson()),
            R"({"sessionID":"s","toolUseID":"t","ok":true,"summary":"done","truncated":false})");
  EXPECT_EQ(finished.toJson().size(), 5u);

  PermissionResolved resolved{.requestID = "r", .by = PermissionResolved::By::expired};
  EXPECT_FALSE(resolved.toJson().contains("chosenIndex"));

  const json::object ack = HelloAck{.serverVersion = "1"}.toJson();
  ASSERT_TRUE(ack.at("sessions").is_array());
  EXPECT_TRUE(ack.at("sessions").get_array().empty());
}

TEST(ServerMessages, FailureTravelsAsError) {
  const ServerMessage m = Failure{.code = "x_failed", .message = "m", .retriable = false};
  EXPECT_EQ(m.type(), "error");
  EXPECT_TRUE(std::holds_alternative<Failure>(ServerMessage::decode("error", m.payloadJson())));
  EXPECT_THROW(ServerMessage::decode("failure", m.payloadJson()), UnknownMessageType);
}

TEST(ServerMessages, RejectUnknownEnumValuesAndWrongTypes) {
  EXPECT_THROW(ServerMessage::decode("permission_resolved",
                                     parseJson(R"({"requestID":"r","by":"timeout"})")),
               DecodeError);
  EXPECT_THROW(ServerMessage::decode(
                   "turn_started", parseJson(R"({"sessionID":"s","prompt":"p","origin":"Phone"})")),
               DecodeError);
  EXPECT_THROW(
      ServerMessage::decode("pane_snapshot",
                            parseJson(R"({"sessionID":"s","cols":"80","rows":24,"text":""})")),
      DecodeError);
  EXPECT_THROW(ServerMessage::decode("pong", parseJson("[]")), DecodeError);
  EXPECT_THROW(ServerMessage::decode("dropped", parseJson(R"({"count":1,"kinds":["a",2]})")),
               DecodeError);
}

TEST(ServerMessages, DecodeErrorsNameTheOffendingKey) {
  try {
    ServerMessage::decode(
        "hello_ack",
        parseJson(
            R"({"serverVersion":"1","resumedFromSeq":0,"gap":false,"sessions":[{"sessionID":"s"}]})"));
    FAIL() << "decoded a descriptor without its required keys";
  } catch (const DecodeError& e) {
    EXPECT_STREQ(e.what(), "HelloAck.sessions: [0]: SessionDescriptor.paneID: missing");
  }
}

TEST(SessionDescriptor, EncodesNineKeysWhenEveryOptionalIsAbsent) {
  const json::object o = minimalDescriptor().toJson();
  EXPECT_EQ(
      json::serialize(o),
      R"({"sessionID":"993ca02b","paneID":"%3","socketPath":"/tmp/tmux-1000/default","tmuxSession":"","pid":4242,"cwd":"/home/dev/proj","permissionMode":"acceptEdits","state":"waiting","lastActivity":"2025-01-31T09:15:00Z"})");
  EXPECT_EQ(o.size(), 9u);
  EXPECT_EQ(SessionDescriptor::fromJson(o), minimalDescriptor());
}

TEST(SessionDescriptor, ShortNamePrefersTheTmuxSession) {
  SessionDescriptor d = minimalDescriptor();
  d.cwd = "/Users/me/src/app";
  EXPECT_EQ(d.shortName(), "app");
  d.cwd = "/Users/me/src/app/";
  EXPECT_EQ(d.shortName(), "app");
  d.tmuxSession = "work";
  EXPECT_EQ(d.shortName(), "work");
}

TEST(SessionDescriptor, EnumerationsDecodeOnlyFromExactRawValues) {
  auto withKey = [](std::string_view key, json::value value) {
    json::object o = minimalDescriptor().toJson();
    o[key] = std::move(value);
    return SessionDescriptor::fromJson(o);
  };
  EXPECT_THROW(withKey("permissionMode", "acceptEdit"), DecodeError);
  EXPECT_THROW(withKey("permissionMode", "Default"), DecodeError);
  EXPECT_THROW(withKey("state", "Idle"), DecodeError);
  EXPECT_THROW(withKey("pid", 4294967296), DecodeError);
  EXPECT_THROW(withKey("lastActivity", "2025-01-31T09:15:00.250Z"), DecodeError);
  EXPECT_EQ(withKey("displayName", nullptr).displayName, std::nullopt);
  EXPECT_THROW(withKey("displayName", 5), DecodeError);

  const SessionDescriptor bypass = withKey("permissionMode", "bypassPermissions");
  EXPECT_TRUE(skipsPermissionPrompts(bypass.permissionMode));
  EXPECT_TRUE(skipsPermissionPrompts(PermissionMode::dontAsk));
  for (PermissionMode m : {PermissionMode::default_, PermissionMode::plan,
                           PermissionMode::acceptEdits, PermissionMode::auto_})
    EXPECT_FALSE(skipsPermissionPrompts(m)) << rawValue(m);
  EXPECT_EQ(enumFromRaw<PermissionOption::Kind>("unknown"), PermissionOption::Kind::unknown);
  EXPECT_EQ(enumFromRaw<PermissionOption::Kind>("other"), std::nullopt);
}

TEST(SessionDescriptor, HashFollowsEquality) {
  SessionDescriptor a = minimalDescriptor(), b = minimalDescriptor();
  EXPECT_EQ(std::hash<SessionDescriptor>{}(a), std::hash<SessionDescriptor>{}(b));
  b.title = "";
  EXPECT_NE(a, b);
  EXPECT_NE(std::hash<SessionDescriptor>{}(a), std::hash<SessionDescriptor>{}(b));
}

TEST(ClientMessages, OptionalsAcceptNullOrAbsence) {
  const auto hello = [](std::string_view payload) {
    return std::get<Hello>(ClientMessage::decode("hello", parseJson(payload)));
  };
  const Hello absent = hello(R"({"token":"t","deviceID":"d","appVersion":"1"})");
  EXPECT_EQ(absent.lastSeq, std::nullopt);
  EXPECT_EQ(hello(R"({"token":"t","deviceID":"d","appVersion":"1","lastSeq":null})"), absent);
  EXPECT_THROW(hello(R"({"token":"t","deviceID":"d","appVersion":"1","lastSeq":-1})"), DecodeError);

  const auto prefs = std::get<SetPrefs>(ClientMessage::decode("set_prefs", parseJson("{}")));
  EXPECT_FALSE(prefs.ttsEnabled || prefs.verbosity || prefs.speakTools);
  EXPECT_EQ(json::serialize(prefs.toJson()), "{}");

  const auto input =
      std::get<TermInput>(ClientMessage::decode("term_input", parseJson(R"({"sessionID":"s"})")));
  EXPECT_FALSE(input.text || input.key);
}

TEST(ClientMessages, KeyNamesBelongToTheirOwnMessage) {
  auto decode = [](std::string_view type, std::string_view key) {
    json::object payload{{"sessionID", "s"}, {"key", key}};
    return ClientMessage::decode(type, payload);
  };
  EXPECT_NO_THROW(decode("send_key", "ctrlO"));
  EXPECT_THROW(decode("term_input", "ctrlO"), DecodeError);
  EXPECT_NO_THROW(decode("term_input", "enter"));
  EXPECT_THROW(decode("send_key", "enter"), DecodeError);
  EXPECT_THROW(decode("send_key", "Escape"), DecodeError);
}

TEST(ClientMessages, RequiredFieldsAreRequired) {
  EXPECT_THROW(
      ClientMessage::decode("permission_answer",
                            parseJson(R"({"clientMsgID":"c","requestID":"r","optionIndex":1})")),
      DecodeError);
  EXPECT_THROW(ClientMessage::decode(
                   "submit_prompt",
                   parseJson(R"({"clientMsgID":"c","sessionID":"s","text":"t","submit":"yes"})")),
               DecodeError);
  EXPECT_THROW(ClientMessage::decode("get_pane", parseJson(R"({"sessionID":"s","lines":1.5})")),
               DecodeError);
}

TEST(ClientMessages, OnlyCommandsThatCanRepeatCarryAMessageId) {
  EXPECT_EQ(ClientMessage(SubmitPrompt{.clientMsgID = "a"}).clientMsgID(), "a");
  EXPECT_EQ(ClientMessage(PermissionAnswer{.clientMsgID = "b"}).clientMsgID(), "b");
  EXPECT_EQ(ClientMessage(QuestionAnswer{.clientMsgID = "c"}).clientMsgID(), "c");
  EXPECT_EQ(ClientMessage(Interrupt{.sessionID = "s"}).clientMsgID(), std::nullopt);
  EXPECT_EQ(ClientMessage(Ping{.nonce = "n"}).clientMsgID(), std::nullopt);
}

}  // namespace
}  // namespace parley::protocol
