#pragma once

// The phone messages narrated from hook events: a question for Claude
// Code's AskUserQuestion tool, a tool start for every other tool, and the
// turn's last assistant text with its turn end. Pure functions of the
// payload, so the application model and the tests run the same code; the
// caller broadcasts what they return.

#include <optional>
#include <string>
#include <vector>

#include "narration/speech_projector.hpp"
#include "protocol/hook_payload.hpp"
#include "protocol/json_value.hpp"
#include "protocol/server_messages.hpp"

namespace parley::narration {

// The most bytes of any one text from a hook that a message carries; a
// longer text is cut at a character boundary and ends in the marker.
inline constexpr std::size_t kMaxCarriedText = 16 * 1024;
inline constexpr std::string_view kTruncationMarker = " \u2026 [truncated]";

// The name of Claude Code's question tool (compared case-sensitively).
inline constexpr std::string_view kQuestionToolName = "AskUserQuestion";

struct QuestionNarration {
  protocol::QuestionRequest request;
  // The activity-log entry (kind `claude`) to write alongside the broadcast.
  std::string logText;
};

struct TurnEnd {
  protocol::AssistantText assistantText;
  protocol::TurnFinished turnFinished;
  // The speech is longer than the projector's maximum.
  bool needsDigest = false;

  // The two messages, in the order they are broadcast.
  std::vector<protocol::ServerMessage> messages() const;
};

// One element of the tool input's "questions" list; nothing when it has no
// question text or no labelled option.
std::optional<protocol::QuestionRequest::Question> parseQuestion(
    const protocol::JSONValue& element);

// For a PreToolUse of AskUserQuestion. Nothing without a session id, without
// a tool input, or without a single usable question.
std::optional<QuestionNarration> handleQuestion(const protocol::HookPayload& payload);

// For a PreToolUse of any other tool. Nothing without a session id or a
// tool name.
std::optional<protocol::ToolStarted> handleToolStart(const protocol::HookPayload& payload);

// For a Stop. Nothing when the last assistant message is absent or empty,
// or when there is no session id.
std::optional<TurnEnd> handleTurnEnd(const protocol::HookPayload& payload,
                                     const SpeechProjector& projector);

// Everything one hook event narrates, routed by event and tool name.
struct HookNarration {
  std::vector<protocol::ServerMessage> messages;
  // Set when a question was narrated: the activity-log entry to write.
  std::optional<std::string> questionLog;
  // Set when a turn's final answer was narrated: its projection, for the
  // desktop to speak the same narration.
  std::optional<Projection> answer;
};

HookNarration narrateHook(const protocol::HookPayload& payload, const SpeechProjector& projector);

// A random (version 4) UUID in its lower-case 36-character form.
std::string freshUUID();

}  // namespace parley::narration
