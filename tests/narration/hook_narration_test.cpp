#include "narration/hook_narration.hpp"

#include <gtest/gtest.h>

#include <regex>

#include "support/test_support.hpp"
#include "text/utf8.hpp"

namespace parley::narration {
namespace {

using protocol::HookPayload;
using protocol::JSONValue;
using protocol::QuestionRequest;
using protocol::ServerMessage;

std::vector<std::string> fixtureLines() {
  return test::readLines(test::fixturePath("claude-code-2.1.222/hooks.ndjson"));
}

// The fixture's hook events, by event name and tool name, in order.
HookPayload fixture(std::string_view event, std::string_view tool = {}) {
  for (const std::string& line : fixtureLines()) {
    const HookPayload p = HookPayload::decode(line);
    if (protocol::rawValue(p.hookEventName) == event && (tool.empty() || p.toolName == tool))
      return p;
  }
  ADD_FAILURE() << "no " << event << " " << tool << " in the fixture";
  return HookPayload();
}

HookPayload question(std::string_view toolInput) {
  HookPayload p(HookPayload::Event::preToolUse);
  p.sessionID = "s1";
  p.toolName = "AskUserQuestion";
  p.toolUseID = "toolu_1";
  p.toolInput = JSONValue::fromJson(protocol::parseJson(toolInput));
  return p;
}

bool isUUIDv4(const std::string& s) {
  static const std::regex pattern(
      "[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  return std::regex_match(s, pattern);
}

// ---- questions ------------------------------------------------------------------

TEST(QuestionNarration, NarratesTheRealAskUserQuestionCall) {
  const HookPayload payload = fixture("PreToolUse", "AskUserQuestion");
  const auto result = handleQuestion(payload);
  ASSERT_TRUE(result);
  const QuestionRequest& r = result->request;
  EXPECT_EQ(r.sessionID, "993ca02b-ef34-49bc-8f1c-ce1ca7c3d6e3");
  EXPECT_EQ(r.requestID, "toolu_63941b01e1e147b9b35ac284");
  ASSERT_EQ(r.questions.size(), 1u);
  const QuestionRequest::Question expected{
      .header = "Database",
      .text = "Which database should we use?",
      .multiSelect = false,
      .options = {{.label = "Postgres", .description = "Relational server"},
                  {.label = "SQLite", .description = "Embedded file"}},
  };
  EXPECT_EQ(r.questions[0], expected);
  EXPECT_EQ(r.narration, (protocol::Narration{
                             .text = "Which database should we use?",
                             .speech = "Claude has a question. Which database should we use? "
                                       "Option 1: Postgres. Option 2: SQLite.",
                             .speak = true,
                         }));
  EXPECT_EQ(result->logText, "question: Which database should we use?");

  // It travels as a question_request without images.
  const ServerMessage message(r);
  EXPECT_EQ(message.type(), "question_request");
  EXPECT_FALSE(message.payloadJson().at("narration").as_object().contains("images"));
}

TEST(QuestionNarration, ReadsOnlyTheFirstQuestionsOptions) {
  const auto result = handleQuestion(question(R"({"questions":[
      {"question":"Which port?","options":[{"label":"8787"},{"label":"8788","description":"panel"}]},
      {"question":"Which host?","header":"Host","multiSelect":true,"options":[{"label":"a"},{"label":"b"}]}]})"));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->request.narration.speech,
            "Claude has a question. Which port? Option 1: 8787. Option 2: 8788. There are 2 "
            "questions.");
  EXPECT_EQ(result->request.narration.text, "Which port?");
  ASSERT_EQ(result->request.questions.size(), 2u);
  EXPECT_EQ(result->request.questions[0].header, "Question");
  EXPECT_FALSE(result->request.questions[0].multiSelect);
  EXPECT_EQ(result->request.questions[1].header, "Host");
  EXPECT_TRUE(result->request.questions[1].multiSelect);
}

TEST(QuestionNarration, ToleratesMalformedQuestionsAndOptions) {
  // An option without a label is dropped; the spoken numbers follow the
  // options that remain. A multiSelect that is not a boolean is false.
  const auto result = handleQuestion(question(R"({"questions":[
      {"question":"Q1","options":"none"},
      {"question":"Q2","options":[{"label":"x"}],"multiSelect":"yes"},
      {"question":"Q3","options":[{"description":"no label"},{"label":7},{"label":"keep"},{"label":"too"}],"multiSelect":1},
      {"options":[{"label":"no question"}]},
      "not an object",
      {"question":"Q4","options":[{"description":"only"}]}]})"));
  ASSERT_TRUE(result);
  const auto& questions = result->request.questions;
  ASSERT_EQ(questions.size(), 2u);
  EXPECT_EQ(questions[0].text, "Q2");
  EXPECT_FALSE(questions[0].multiSelect);
  EXPECT_EQ(questions[1].text, "Q3");
  EXPECT_FALSE(questions[1].multiSelect);
  EXPECT_EQ(questions[1].options,
            (std::vector<QuestionRequest::Option>{{.label = "keep"}, {.label = "too"}}));
  EXPECT_EQ(result->request.narration.speech,
            "Claude has a question. Q2 Option 1: x. There are 2 questions.");
}

TEST(QuestionNarration, SendsNothingWithoutAUsableQuestion) {
  SpeechProjector projector;
  for (const char* input :
       {R"({"questions":[{"question":"Q","options":[{"description":"unlabelled"}]}]})",
        R"({"questions":[{"question":"Q"}]})", R"({"questions":[]})", R"({"questions":{}})",
        R"({"question":"Q","options":[{"label":"a"}]})", R"([])", R"("text")"}) {
    const HookPayload p = question(input);
    EXPECT_FALSE(handleQuestion(p)) << input;
    // And no tool start in its place.
    const HookNarration n = narrateHook(p, projector);
    EXPECT_TRUE(n.messages.empty()) << input;
    EXPECT_FALSE(n.questionLog) << input;
  }
  HookPayload noSession = question(R"({"questions":[{"question":"Q","options":[{"label":"a"}]}]})");
  noSession.sessionID.reset();
  EXPECT_FALSE(handleQuestion(noSession));
  HookPayload noInput = question("{}");
  noInput.toolInput.reset();
  EXPECT_FALSE(handleQuestion(noInput));
}

TEST(QuestionNarration, MakesUpARequestIdAndShortensTheLogLine) {
  std::string text;
  for (int i = 0; i < 50; ++i)
    text += "é";  // two bytes each
  text += "🎉 and then some more words after the eightieth character";
  HookPayload p =
      question(R"({"questions":[{"question":")" + text + R"(","options":[{"label":"a"}]}]})");
  p.toolUseID.reset();
  const auto first = handleQuestion(p);
  const auto second = handleQuestion(p);
  ASSERT_TRUE(first && second);
  EXPECT_TRUE(isUUIDv4(first->request.requestID)) << first->request.requestID;
  EXPECT_NE(first->request.requestID, second->request.requestID);
  // Eighty characters, not bytes: fifty accented letters, the emoji and
  // twenty-nine more.
  EXPECT_EQ(first->logText, "question: " + text.substr(0, 100 + 4 + 29));
  EXPECT_EQ(first->request.narration.text, text);
}

// ---- tool starts ------------------------------------------------------------------

TEST(ToolStartNarration, NarratesTheRealToolCallsSilently) {
  for (const char* tool : {"Bash", "Write"}) {
    const HookPayload p = fixture("PreToolUse", tool);
    const auto started = handleToolStart(p);
    ASSERT_TRUE(started) << tool;
    EXPECT_EQ(started->sessionID, *p.sessionID);
    EXPECT_EQ(started->toolUseID, *p.toolUseID);
    EXPECT_EQ(started->toolName, tool);
    EXPECT_EQ(started->narration,
              (protocol::Narration{.text = "Working…", .speech = "", .speak = false}));
  }
}

TEST(ToolStartNarration, NamesWhatASubagentWorksOn) {
  HookPayload p(HookPayload::Event::preToolUse);
  p.sessionID = "s1";
  p.toolName = "Task";
  p.toolInput =
      JSONValue::fromJson(protocol::parseJson(R"({"description":"Audit the tests","prompt":"x"})"));
  EXPECT_EQ(handleToolStart(p)->narration.text, "Subagent working on Audit the tests…");
  p.toolInput = JSONValue::fromJson(protocol::parseJson(R"({"description":7})"));
  EXPECT_EQ(handleToolStart(p)->narration.text, "Subagent working on a task…");
  p.toolInput.reset();
  const auto started = handleToolStart(p);
  EXPECT_EQ(started->narration.text, "Subagent working on a task…");
  EXPECT_FALSE(started->narration.speak);
  EXPECT_TRUE(isUUIDv4(started->toolUseID));
  // Only the exact name "Task" is a subagent.
  p.toolName = "task";
  EXPECT_EQ(handleToolStart(p)->narration.text, "Working…");
}

TEST(ToolStartNarration, NeedsASessionAndAToolName) {
  HookPayload p(HookPayload::Event::preToolUse);
  p.sessionID = "s1";
  EXPECT_FALSE(handleToolStart(p));
  EXPECT_TRUE(narrateHook(p, SpeechProjector()).messages.empty());
  p.toolName = "Bash";
  p.sessionID.reset();
  EXPECT_FALSE(handleToolStart(p));
}

// ---- turn ends ----------------------------------------------------------------------

TEST(TurnEndNarration, NarratesTheRealFinalAnswerThenFinishesSilently) {
  HookPayload stop;
  for (const std::string& line : fixtureLines()) {
    const HookPayload p = HookPayload::decode(line);
    if (p.lastAssistantMessage && p.lastAssistantMessage->starts_with("## Summary"))
      stop = p;
  }
  ASSERT_TRUE(stop.promptID);
  const SpeechProjector projector(900);
  const auto end = handleTurnEnd(stop, projector);
  ASSERT_TRUE(end);
  const Projection projection = projector.project(*stop.lastAssistantMessage);

  EXPECT_EQ(end->assistantText.sessionID, *stop.sessionID);
  EXPECT_EQ(end->assistantText.messageUUID, *stop.promptID);
  EXPECT_EQ(end->assistantText.narration, projection.narration);
  EXPECT_TRUE(end->assistantText.narration.speak);
  EXPECT_TRUE(end->assistantText.final);
  EXPECT_FALSE(end->assistantText.isSidechain);
  EXPECT_FALSE(end->needsDigest);

  EXPECT_EQ(end->turnFinished.sessionID, *stop.sessionID);
  EXPECT_EQ(end->turnFinished.promptID, stop.promptID);
  EXPECT_EQ(end->turnFinished.narration.text, projection.narration.text);
  EXPECT_EQ(end->turnFinished.narration.speech, projection.narration.speech);
  EXPECT_FALSE(end->turnFinished.narration.speak);
  EXPECT_FALSE(end->turnFinished.durationMS);

  const std::vector<ServerMessage> messages = end->messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].type(), "assistant_text");
  EXPECT_EQ(messages[1].type(), "turn_finished");
}

TEST(TurnEndNarration, CarriesDurationAndMakesUpOnlyTheMessageId) {
  HookPayload p(HookPayload::Event::stop);
  p.sessionID = "s1";
  p.lastAssistantMessage = "Done.";
  p.durationMS = 1234;
  const auto end = handleTurnEnd(p, SpeechProjector());
  ASSERT_TRUE(end);
  EXPECT_TRUE(isUUIDv4(end->assistantText.messageUUID));
  EXPECT_FALSE(end->turnFinished.promptID);
  EXPECT_EQ(end->turnFinished.durationMS, 1234);
  const auto json = ServerMessage(end->turnFinished).payloadJson();
  EXPECT_FALSE(json.contains("promptID"));
  EXPECT_EQ(json.at("durationMS").as_int64(), 1234);

  // A long answer is flagged for a digest.
  p.lastAssistantMessage = std::string(901, 'x');
  EXPECT_TRUE(handleTurnEnd(p, SpeechProjector(900))->needsDigest);
}

TEST(TurnEndNarration, SendsNothingForAnEmptyAnswerOrWithoutASession) {
  HookPayload p(HookPayload::Event::stop);
  p.sessionID = "s1";
  EXPECT_FALSE(handleTurnEnd(p, SpeechProjector()));
  p.lastAssistantMessage = "";
  EXPECT_FALSE(handleTurnEnd(p, SpeechProjector()));
  p.lastAssistantMessage = "Hi.";
  p.sessionID.reset();
  EXPECT_FALSE(handleTurnEnd(p, SpeechProjector()));
  EXPECT_TRUE(narrateHook(p, SpeechProjector()).messages.empty());
}

TEST(HookNarration, OutsideTextIsCappedAtACharacterBoundaryWithAMarker) {
  // An "é" straddles the cap, so a cut by bytes alone would split it.
  const std::string huge = std::string(kMaxCarriedText - 1, 'x') + "é" + std::string(100000, 'y');
  const auto capped = [](const std::string& text) {
    EXPECT_LE(text.size(), kMaxCarriedText + kTruncationMarker.size());
    EXPECT_TRUE(text.ends_with(kTruncationMarker)) << text.substr(text.size() - 20);
    EXPECT_TRUE(text::isValidUtf8(text));
  };
  HookPayload stop(HookPayload::Event::stop);
  stop.sessionID = "s1";
  stop.lastAssistantMessage = huge;
  const auto end = handleTurnEnd(stop, SpeechProjector());
  capped(end->assistantText.narration.text);
  capped(end->assistantText.narration.speech);
  capped(end->turnFinished.narration.text);
  EXPECT_TRUE(end->needsDigest);

  HookPayload task(HookPayload::Event::preToolUse);
  task.sessionID = "s1";
  task.toolName = huge;
  capped(handleToolStart(task)->toolName);
  task.toolName = "Task";
  task.toolInput = JSONValue::fromJson(boost::json::object{{"description", huge}});
  capped(handleToolStart(task)->narration.text);

  const std::string asked = boost::json::serialize(boost::json::object{
      {"questions", boost::json::array{boost::json::object{
                        {"question", huge},
                        {"header", huge},
                        {"options", boost::json::array{boost::json::object{
                                        {"label", huge}, {"description", huge}}}}}}}});
  const auto q = handleQuestion(question(asked));
  ASSERT_TRUE(q);
  const QuestionRequest::Question& first = q->request.questions.at(0);
  for (const std::string* text :
       {&first.text, &first.header, &first.options.at(0).label, &*first.options.at(0).description,
        &q->request.narration.text, &q->request.narration.speech})
    capped(*text);
}

// ---- routing a whole session -------------------------------------------------------

TEST(HookNarration, NarratesTheWholeCapturedSession) {
  const SpeechProjector projector(900);
  std::vector<std::string> types;
  std::vector<std::string> logs;
  std::vector<std::string> answers;
  for (const std::string& line : fixtureLines()) {
    const HookPayload payload = HookPayload::decode(line);
    const HookNarration n = narrateHook(payload, projector);
    for (const ServerMessage& m : n.messages)
      types.emplace_back(m.type());
    if (n.questionLog)
      logs.push_back(*n.questionLog);
    if (n.answer) {
      EXPECT_EQ(*n.answer, projector.project(*payload.lastAssistantMessage));
      answers.push_back(n.answer->narration.speech);
    }
  }
  // Six Stops with answers, four tool calls (one of them the question);
  // permission requests, notifications and tool results narrate nothing.
  const std::vector<std::string> expected{
      "assistant_text",   "turn_finished",  "tool_started",   "assistant_text",
      "turn_finished",    "tool_started",   "assistant_text", "turn_finished",
      "question_request", "assistant_text", "turn_finished",  "assistant_text",
      "turn_finished",    "tool_started",   "assistant_text", "turn_finished"};
  EXPECT_EQ(types, expected);
  EXPECT_EQ(logs, std::vector<std::string>{"question: Which database should we use?"});
  EXPECT_EQ(answers.size(), 6u);
  EXPECT_EQ(answers.front(), "You said:");
}

}  // namespace
}  // namespace parley::narration
