#include <gtest/gtest.h>

#include <span>

#include "protocol/envelope.hpp"

namespace parley::protocol {
namespace {

// Every optional absent: nine keys.
constexpr std::string_view kMinimalDescriptor =
    R"({"sessionID":"993ca02b","paneID":"%3","socketPath":"/tmp/tmux-1000/default","tmuxSession":"","pid":4242,"cwd":"/home/dev/proj","permissionMode":"acceptEdits","state":"waiting","lastActivity":"2025-01-31T09:15:00Z"})";

SessionDescriptor minimalDescriptor() {
  return SessionDescriptor::fromJson(parseJson(kMinimalDescriptor));
}

// Every payload below is written by hand with all its keys in wire order; a
// record must decode it and encode exactly the same text back.
struct Sample {
  std::string_view type;
  std::string_view payload;
};

const Sample kServerSamples[] = {
    {"hello_ack",
     R"({"serverVersion":"0.1.0","resumedFromSeq":7,"gap":true,"sessions":[{"sessionID":"s","paneID":"%1","socketPath":"/tmp/t","tmuxSession":"work","pid":12,"cwd":"/p","displayName":"d","title":"t","gitBranch":"main","model":"opus","permissionMode":"plan","state":"busy","waitingFor":"permission","transcriptPath":"/p/t.jsonl","claudeVersion":"2.1.222","lastActivity":"2025-01-31T09:15:00Z"}],"vapidPublicKey":"BPk"})"},
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
    {"dropped",
     R"({"count":3,"kinds":["tool_finished","tool_started"],"seqs":[{"first":4,"last":5},{"first":9,"last":9}]})"},
    {"error",
     R"({"code":"prompt_failed","message":"pane is gone","sessionID":"s","retriable":true})"},
    {"pong", R"({"echo":"n-1"})"},
    {"push_state", R"({"enabled":true})"},
    {"changes",
     R"({"sessionID":"s","repository":true,"branch":"main","files":[{"path":"b.md","oldPath":"a.md","area":"staged","change":"renamed","added":0,"removed":0,"binary":false},{"path":"logo.png","area":"untracked","change":"added","added":0,"removed":0,"binary":true}],"unlisted":2})"},
    {"file_diff",
     R"({"sessionID":"s","file":{"path":"a.txt","area":"unstaged","change":"typeChanged","added":1,"removed":1,"binary":false},"diff":"@@ -1 +1 @@\n-a\n+b\n","truncated":true})"},
    {"image_stored", R"({"uploadID":"u","imageID":"0f3a"})"},
    {"projects",
     R"({"projects":[{"projectID":"p1","name":"app","path":"/w/app","lastActivity":"2025-01-31T09:15:00Z","pastSessions":3,"liveSessions":1,"trusted":true},{"projectID":"p2","name":"new","path":"/w/new","pastSessions":0,"liveSessions":0,"trusted":false}]})"},
    {"history",
     R"({"projectID":"p1","offset":20,"total":21,"sessions":[{"historyID":"h","lastActivity":"2025-01-31T09:15:00Z","turns":4,"firstPrompt":"fix it…","live":false}]})"},
    {"session_started",
     R"({"projectID":"p1","historyID":"h","paneID":"%4","tmuxTarget":"parley:2","attach":"tmux attach -t parley:2","alreadyLive":false})"},
};

const Sample kClientSamples[] = {
    {"hello",
     R"({"token":"tok","deviceID":"d","appVersion":"1.0","lastSeq":18446744073709551615})"},
    {"submit_prompt",
     R"({"clientMsgID":"c","sessionID":"s","text":"fix the bug","submit":false,"confidence":5E-1,"images":["i1"]})"},
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
    {"push_subscribe", R"({"endpoint":"https://push.example/x","p256dh":"BPk","auth":"q8"})"},
    {"push_unsubscribe", R"({})"},
    {"get_changes", R"({"sessionID":"s"})"},
    {"get_file_diff", R"({"sessionID":"s","path":"src/a b.cpp","area":"untracked"})"},
    {"upload_image", R"({"uploadID":"u","sessionID":"s","part":2,"last":true,"data":"iVBO"})"},
    {"list_projects", R"({})"},
    {"list_history", R"({"projectID":"p1","offset":20})"},
    {"start_session", R"({"clientMsgID":"c","projectID":"p1","prompt":"add tests"})"},
    {"resume_session", R"({"clientMsgID":"c","historyID":"h"})"},
    {"stop_session", R"({"clientMsgID":"c","sessionID":"s"})"},
    {"set_mode", R"({"clientMsgID":"c","sessionID":"s","mode":"plan"})"},
};

template <class Message, class Variant>
void expectSamplesRoundTrip(std::span<const Sample> samples) {
  std::size_t index = 0;
  for (const Sample& s : samples) {
    SCOPED_TRACE(s.type);
    const Message m = Message::decode(s.type, parseJson(s.payload));
    EXPECT_EQ(m.index(), index++) << "cases are tried in declaration order";
    EXPECT_EQ(m.type(), s.type);
    EXPECT_EQ(json::serialize(m.payloadJson()), s.payload);
    if constexpr (requires { m.clientMsgID(); }) {
      // Only the commands a phone may resend carry a de-duplication id.
      const json::object payload = m.payloadJson();
      const json::value* id = payload.if_contains("clientMsgID");
      EXPECT_EQ(m.clientMsgID(), id ? std::optional<std::string>(id->as_string()) : std::nullopt);
    }
  }
  EXPECT_EQ(index, std::variant_size_v<Variant>);
}

TEST(WireRecords, EveryCaseDecodesAndReencodesItsHandWrittenPayload) {
  expectSamplesRoundTrip<ServerMessage, ServerMessageVariant>(kServerSamples);
  expectSamplesRoundTrip<ClientMessage, ClientMessageVariant>(kClientSamples);
  EXPECT_EQ(json::serialize(minimalDescriptor().toJson()), kMinimalDescriptor);
}

// What decoding makes of an input: its encoding again, the error text naming
// the record and key, or that the type is unknown, which a receiver treats
// differently from a broken message.
template <class Decode>
std::string outcome(Decode decode) {
  try {
    return json::serialize(decode());
  } catch (const UnknownMessageType& e) {
    return "UnknownMessageType " + e.type();
  } catch (const DecodeError& e) {
    return e.what();
  }
}

// `what` is a message type (the two directions share none) or an envelope.
std::string outcome(std::string_view what, std::string_view text) {
  return outcome([&]() -> json::object {
    if (what == "ClientEnvelope")
      return ClientEnvelope::decode(text).toJson();
    if (what == "ServerEnvelope")
      return ServerEnvelope::decode(text).toJson();
    try {
      return ClientMessage::decode(what, parseJson(text)).payloadJson();
    } catch (const UnknownMessageType&) {
      return ServerMessage::decode(what, parseJson(text)).payloadJson();
    }
  });
}

TEST(WireRecords, DecodersAcceptOnlyWhatTheWireAllowsAndNameTheKeyThatFailed) {
  const struct {
    std::string_view what, input, outcome;
  } cases[] = {
      // Optionals decode from null or absence and encode as no key at all.
      {"hello", R"({"token":"t","deviceID":"d","appVersion":"1","lastSeq":null})",
       R"({"token":"t","deviceID":"d","appVersion":"1"})"},
      {"set_prefs", R"({"verbosity":null})", "{}"},
      {"term_input", R"({"sessionID":"s"})", R"({"sessionID":"s"})"},
      {"tool_finished",
       R"({"detailRef":null,"sessionID":"s","toolUseID":"t","ok":true,"summary":"done","truncated":false})",
       R"({"sessionID":"s","toolUseID":"t","ok":true,"summary":"done","truncated":false})"},
      {"permission_resolved", R"({"requestID":"r","by":"expired"})",
       R"({"requestID":"r","by":"expired"})"},
      {"get_pane", R"({"sessionID":"s","lines":40.0})", R"({"sessionID":"s","lines":40})"},
      {"hello_ack",
       R"({"serverVersion":"1","resumedFromSeq":0,"gap":false,"sessions":[{"sessionID":"s"}]})",
       "HelloAck.sessions: [0]: SessionDescriptor.paneID: missing"},
      {"question_request",
       R"({"sessionID":"s","requestID":"r","questions":[{"header":"h","text":"t","multiSelect":false,"options":[{}]}],"narration":{}})",
       "QuestionRequest.questions: [0]: QuestionRequest.Question.options: [0]: "
       "QuestionRequest.Option.label: missing"},
      {"permission_answer", R"({"clientMsgID":"c","requestID":"r","optionIndex":1})",
       "PermissionAnswer.nonce: missing"},
      {"permission_resolved", R"({"requestID":"r","by":"timeout"})",
       R"(PermissionResolved.by: unknown value "timeout")"},
      {"turn_started", R"({"sessionID":"s","prompt":"p","origin":"Phone"})",
       R"(TurnStarted.origin: unknown value "Phone")"},
      {"send_key", R"({"sessionID":"s","key":"enter"})", R"(SendKey.key: unknown value "enter")"},
      {"get_file_diff", R"({"sessionID":"s","path":"a","area":"Staged"})",
       R"(GetFileDiff.area: unknown value "Staged")"},
      {"term_input", R"({"sessionID":"s","key":"ctrlO"})",
       R"(TermInput.key: unknown value "ctrlO")"},
      {"get_pane", R"({"sessionID":"s","lines":1.5})", "GetPane.lines: expected an integer"},
      {"hello", R"({"token":"t","deviceID":"d","appVersion":"1","lastSeq":-1})",
       "Hello.lastSeq: expected an unsigned integer"},
      {"submit_prompt", R"({"clientMsgID":"c","sessionID":"s","text":"t","submit":"yes"})",
       "SubmitPrompt.submit: expected a boolean"},
      {"dropped", R"({"count":1,"kinds":["a",2]})", "Dropped.kinds: [1]: expected a string"},
      {"pong", "[]", "Pong: expected a JSON object"},
      {"failure", R"({"code":"c","message":"m","retriable":false})", "UnknownMessageType failure"},
      {"Pong", R"({"echo":"n"})", "UnknownMessageType Pong"},
      // Envelopes: any key order, any version (the receiver judges it).
      {"ServerEnvelope",
       R"({"payload":{"count":2,"kinds":["vocab"]},"type":"dropped","ts":"2025-01-31T09:15:00Z","seq":18446744073709551615,"v":2})",
       R"({"v":2,"seq":18446744073709551615,"ts":"2025-01-31T09:15:00Z","type":"dropped","payload":{"count":2,"kinds":["vocab"]}})"},
      // An unknown type wins over a missing payload, so a newer phone is told
      // from a broken one; any other flaw fails the whole envelope.
      {"ClientEnvelope", R"({"v":1,"ts":"2025-01-31T09:15:00Z","type":"dance"})",
       "UnknownMessageType dance"},
      {"ClientEnvelope", R"({"v":1,"ts":"2025-01-31T09:15:00Z","type":"ping"})",
       "ClientEnvelope.payload: missing"},
      {"ClientEnvelope",
       R"({"v":1,"ts":"2025-01-31T09:15:00Z","type":"get_pane","payload":{"sessionID":"s"}})",
       "ClientEnvelope.payload: GetPane.lines: missing"},
      {"ClientEnvelope", R"({"v":1,"ts":"2025-01-31T09:15:00Z","type":7,"payload":{}})",
       "ClientEnvelope.type: expected a string"},
      {"ClientEnvelope", R"({"ts":"2025-01-31T09:15:00Z","type":"ping","payload":{"nonce":"x"}})",
       "ClientEnvelope.v: missing"},
      {"ClientEnvelope",
       R"({"v":"1","ts":"2025-01-31T09:15:00Z","type":"ping","payload":{"nonce":"x"}})",
       "ClientEnvelope.v: expected an integer"},
      {"ClientEnvelope",
       R"({"v":1,"ts":"2025-01-31T09:15:00","type":"ping","payload":{"nonce":"x"}})",
       R"(ClientEnvelope.ts: not a whole-second UTC date: "2025-01-31T09:15:00")"},
      {"ServerEnvelope",
       R"({"v":1,"ts":"2025-01-31T09:15:00Z","type":"pong","payload":{"echo":"x"}})",
       "ServerEnvelope.seq: missing"},
      {"ServerEnvelope", "[1,2]", "ServerEnvelope: expected a JSON object"},
      {"ServerEnvelope", R"({"v":1)", "malformed JSON: incomplete JSON"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(outcome(c.what, c.input), c.outcome) << c.input;
}

TEST(Envelopes, EncodeKeysInWireOrderWithWholeSecondTimes) {
  using namespace std::chrono;
  const Date ts = sys_days{2025y / January / 31} + 9h + 15min;
  const ServerEnvelope server(42, ts + 999ms, Pong{.echo = "n"});
  EXPECT_EQ(server.encode(),
            R"({"v":1,"seq":42,"ts":"2025-01-31T09:15:00Z","type":"pong","payload":{"echo":"n"}})");
  EXPECT_EQ(ServerEnvelope::decode(server.encode()), ServerEnvelope(42, ts, Pong{.echo = "n"}));
  const ClientEnvelope client(ts, Interrupt{.sessionID = "s"});
  EXPECT_EQ(
      client.encode(),
      R"({"v":1,"ts":"2025-01-31T09:15:00Z","type":"interrupt","payload":{"sessionID":"s"}})");
  EXPECT_EQ(ClientEnvelope::decode(client.encode()), client);
  EXPECT_STREQ(UnknownMessageType("Pong").what(), "unknown wire message type: Pong");
}

TEST(SessionDescriptor, EnumerationsAndDatesDecodeOnlyFromExactValues) {
  const struct {
    std::string_view key;
    json::value value;
    std::string_view error;
  } cases[] = {
      {"permissionMode", "acceptEdit", R"(unknown value "acceptEdit")"},
      {"permissionMode", "Default", R"(unknown value "Default")"},
      {"state", "Idle", R"(unknown value "Idle")"},
      {"pid", 4294967296, "expected a 32-bit integer"},
      {"lastActivity", "2025-01-31T09:15:00.250Z",
       R"(not a whole-second UTC date: "2025-01-31T09:15:00.250Z")"},
      {"displayName", 5, "expected a string"},
  };
  for (const auto& c : cases) {
    json::object o = minimalDescriptor().toJson();
    o[c.key] = c.value;
    EXPECT_EQ(outcome([&] { return SessionDescriptor::fromJson(o).toJson(); }),
              "SessionDescriptor." + std::string(c.key) + ": " + std::string(c.error));
  }
  json::object o = minimalDescriptor().toJson();
  o["permissionMode"] = "bypassPermissions";
  EXPECT_TRUE(skipsPermissionPrompts(SessionDescriptor::fromJson(o).permissionMode));
  EXPECT_FALSE(skipsPermissionPrompts(PermissionMode::auto_));
  EXPECT_EQ(rawValue(PermissionMode::default_), "default");
  EXPECT_EQ(enumFromRaw<PermissionOption::Kind>("unknown"), PermissionOption::Kind::unknown);
  EXPECT_EQ(enumFromRaw<PermissionOption::Kind>("other"), std::nullopt);
}

TEST(SessionDescriptor, ShortNamePrefersTheTmuxSession) {
  SessionDescriptor d = minimalDescriptor();
  d.cwd = "/Users/me/src/app/";
  EXPECT_EQ(d.shortName(), "app");
  d.tmuxSession = "work";
  EXPECT_EQ(d.shortName(), "work");
}

TEST(WireRecords, HashFollowsEquality) {
  SessionDescriptor a = minimalDescriptor(), b = minimalDescriptor();
  EXPECT_EQ(std::hash<SessionDescriptor>{}(a), std::hash<SessionDescriptor>{}(b));
  b.title = "";
  EXPECT_NE(std::hash<SessionDescriptor>{}(a), std::hash<SessionDescriptor>{}(b));
  b = a;
  b.lastActivity += std::chrono::seconds(1);
  EXPECT_NE(std::hash<SessionDescriptor>{}(a), std::hash<SessionDescriptor>{}(b));
  const auto withImages = [](std::optional<std::vector<std::string>> images) {
    return Narration{.text = "t", .images = std::move(images)}.hash();
  };
  EXPECT_NE(withImages(std::vector<std::string>{}), withImages(std::nullopt));
  EXPECT_NE(withImages(std::vector<std::string>{"a"}), withImages(std::vector<std::string>{}));
}

}  // namespace
}  // namespace parley::protocol
