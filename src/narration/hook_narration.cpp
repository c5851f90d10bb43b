#include "narration/hook_narration.hpp"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace parley::narration {
namespace {

using protocol::HookPayload;
using protocol::JSONValue;
using protocol::Narration;
using protocol::QuestionRequest;

constexpr std::size_t kLoggedQuestionLength = 80;

// The text cut to kMaxCarriedText bytes at a character boundary, with the
// marker; a text within the bound unchanged. A hook can carry megabytes, and
// every message is kept in the replay ring and sent to the phone.
std::string capped(std::string_view text) {
  if (text.size() <= kMaxCarriedText)
    return std::string(text);
  std::size_t end = kMaxCarriedText;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
    --end;  // back to the start of the character the bound falls in
  return std::string(text.substr(0, end)) + std::string(kTruncationMarker);
}

void cap(std::string& text) {
  if (text.size() > kMaxCarriedText)
    text = capped(text);
}

void cap(protocol::Narration& narration) {
  cap(narration.text);
  cap(narration.speech);
}

std::string questionSpeech(const std::vector<QuestionRequest::Question>& questions) {
  const QuestionRequest::Question& first = questions.front();
  std::string speech = "Claude has a question. " + first.text;
  for (std::size_t i = 0; i < first.options.size(); ++i)
    speech += " Option " + std::to_string(i + 1) + ": " + first.options[i].label + ".";
  if (questions.size() >= 2)
    speech += " There are " + std::to_string(questions.size()) + " questions.";
  return speech;
}

}  // namespace

std::string freshUUID() {
  // The generator holds its own random source and is not thread-safe.
  thread_local boost::uuids::random_generator generator;
  return boost::uuids::to_string(generator());
}

std::vector<protocol::ServerMessage> TurnEnd::messages() const {
  return {protocol::ServerMessage(assistantText), protocol::ServerMessage(turnFinished)};
}

std::optional<QuestionRequest::Question> parseQuestion(const JSONValue& element) {
  const std::string* text = element.string("question");
  if (!text)
    return std::nullopt;
  QuestionRequest::Question question;
  question.text = capped(*text);
  if (const JSONValue* options = element["options"]; options && options->arrayValue()) {
    for (const JSONValue& option : *options->arrayValue()) {
      const std::string* label = option.string("label");
      if (!label)
        continue;
      QuestionRequest::Option parsed{.label = capped(*label)};
      if (const std::string* description = option.string("description"))
        parsed.description = capped(*description);
      question.options.push_back(std::move(parsed));
    }
  }
  if (question.options.empty())
    return std::nullopt;
  const std::string* header = element.string("header");
  question.header = header ? capped(*header) : "Question";
  const JSONValue* multiSelect = element["multiSelect"];
  question.multiSelect = multiSelect && multiSelect->boolValue().value_or(false);
  return question;
}

std::optional<QuestionNarration> handleQuestion(const HookPayload& payload) {
  if (!payload.sessionID || !payload.toolInput)
    return std::nullopt;
  const JSONValue* list = (*payload.toolInput)["questions"];
  if (!list || !list->arrayValue())
    return std::nullopt;
  std::vector<QuestionRequest::Question> questions;
  for (const JSONValue& element : *list->arrayValue()) {
    if (auto question = parseQuestion(element))
      questions.push_back(std::move(*question));
  }
  if (questions.empty())
    return std::nullopt;

  QuestionNarration result;
  QuestionRequest& request = result.request;
  request.sessionID = *payload.sessionID;
  request.requestID = payload.toolUseID ? *payload.toolUseID : freshUUID();
  request.narration =
      Narration{.text = questions.front().text, .speech = questionSpeech(questions), .speak = true};
  cap(request.narration);
  result.logText = "question: " + std::string(text::characterPrefix(questions.front().text,
                                                                    kLoggedQuestionLength));
  request.questions = std::move(questions);
  return result;
}

std::optional<protocol::ToolStarted> handleToolStart(const HookPayload& payload) {
  if (!payload.sessionID || !payload.toolName)
    return std::nullopt;
  std::string text = "Working…";
  if (*payload.toolName == "Task") {
    const std::string* description =
        payload.toolInput ? payload.toolInput->string("description") : nullptr;
    text = "Subagent working on " + (description ? *description : std::string("a task")) + "…";
    cap(text);
  }
  return protocol::ToolStarted{
      .sessionID = *payload.sessionID,
      .toolUseID = payload.toolUseID ? *payload.toolUseID : freshUUID(),
      .toolName = capped(*payload.toolName),
      .narration = Narration{.text = std::move(text), .speech = "", .speak = false},
  };
}

std::optional<TurnEnd> handleTurnEnd(const HookPayload& payload, const SpeechProjector& projector) {
  if (!payload.lastAssistantMessage || payload.lastAssistantMessage->empty() || !payload.sessionID)
    return std::nullopt;
  // Projecting reads every character; a bounded input bounds the work, and
  // a few times the carried bound still says whether a digest is needed.
  std::string_view answer = *payload.lastAssistantMessage;
  if (answer.size() > 4 * kMaxCarriedText)
    answer = answer.substr(0, 4 * kMaxCarriedText);
  Projection projection = projector.project(text::toValidUtf8(answer));
  cap(projection.narration);
  TurnEnd end;
  end.needsDigest = projection.needsDigest;
  end.assistantText = protocol::AssistantText{
      .sessionID = *payload.sessionID,
      .messageUUID = payload.promptID ? *payload.promptID : freshUUID(),
      .narration = projection.narration,
      .final = true,
      .isSidechain = false,
  };
  Narration silent = std::move(projection.narration);
  silent.speak = false;
  end.turnFinished = protocol::TurnFinished{
      .sessionID = *payload.sessionID,
      .promptID = payload.promptID,
      .narration = std::move(silent),
      .durationMS = payload.durationMS,
  };
  return end;
}

HookNarration narrateHook(const HookPayload& payload, const SpeechProjector& projector) {
  HookNarration result;
  switch (payload.hookEventName) {
    case HookPayload::Event::preToolUse:
      if (payload.toolName == kQuestionToolName) {
        // A question tool call that yields no usable question narrates
        // nothing at all, not even a tool start.
        if (auto question = handleQuestion(payload)) {
          result.messages.emplace_back(std::move(question->request));
          result.questionLog = std::move(question->logText);
        }
      } else if (auto started = handleToolStart(payload)) {
        result.messages.emplace_back(std::move(*started));
      }
      break;
    case HookPayload::Event::stop:
      if (auto end = handleTurnEnd(payload, projector)) {
        result.messages = end->messages();
        result.answer = Projection{end->assistantText.narration, end->needsDigest};
      }
      break;
    default:
      break;
  }
  return result;
}

}  // namespace parley::narration
