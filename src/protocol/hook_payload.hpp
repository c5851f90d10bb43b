#pragma once

// One Claude Code hook event as the relay forwards it. Only the event name is
// read strictly: Claude Code adds and changes side keys between versions, and a
// malformed side field must never cost the whole event.

#include <optional>
#include <string>
#include <string_view>

#include "protocol/json_value.hpp"
#include "protocol/wire_coding.hpp"

namespace parley::protocol {

enum class PermissionMode { default_, plan, acceptEdits, auto_, dontAsk, bypassPermissions };

template <>
struct EnumNames<PermissionMode> {
  static constexpr std::array<std::string_view, 6> names{"default", "plan",    "acceptEdits",
                                                         "auto",    "dontAsk", "bypassPermissions"};
};

// In these modes Claude Code asks no permission questions, so the session can
// be announced but never answered.
constexpr bool skipsPermissionPrompts(PermissionMode mode) {
  return mode == PermissionMode::dontAsk || mode == PermissionMode::bypassPermissions;
}

struct HookPayload {
  enum class Event {
    sessionStart,
    sessionEnd,
    userPromptSubmit,
    preToolUse,
    postToolUse,
    postToolUseFailure,
    permissionRequest,
    notification,
    stop,
    preCompact,
  };

  Event hookEventName = Event::notification;
  std::optional<std::string> sessionID;
  std::optional<std::string> transcriptPath;
  std::optional<std::string> cwd;
  std::optional<std::string> promptID;
  std::optional<PermissionMode> permissionMode;
  std::optional<std::string> prompt;
  std::optional<std::string> toolName;
  std::optional<JSONValue> toolInput;
  std::optional<std::string> toolUseID;
  std::optional<JSONValue> toolResponse;
  std::optional<std::int64_t> durationMS;
  std::optional<std::string> message;
  std::optional<std::string> notificationType;
  std::optional<std::string> lastAssistantMessage;
  std::optional<bool> stopHookActive;
  std::optional<std::string> source;
  std::optional<std::string> model;
  std::optional<std::string> reason;
  std::optional<std::string> tmuxPane;
  std::optional<std::string> tmuxEnv;

  HookPayload() = default;
  explicit HookPayload(Event event) : hookEventName(event) {}

  // A PermissionRequest, or a Notification of type "permission_prompt".
  bool isPermissionPrompt() const;
  // The tmux server's socket path: the first non-empty comma-separated field
  // of tmuxEnv.
  std::optional<std::string> tmuxSocketPath() const;

  // Throws DecodeError when the value is not an object or its
  // "hook_event_name" is missing, not a string, or not one of the ten events.
  static HookPayload fromJson(const json::value& value);
  // Parses and decodes one hook line (the JSON text, trailing whitespace
  // allowed). Ill-formed UTF-8 and lone surrogate escapes read as U+FFFD;
  // nesting up to 512 levels is accepted.
  static HookPayload decode(std::string_view line);
  json::object toJson() const;

  bool operator==(const HookPayload&) const = default;
};

template <>
struct EnumNames<HookPayload::Event> {
  static constexpr std::array<std::string_view, 10> names{
      "SessionStart",       "SessionEnd",        "UserPromptSubmit", "PreToolUse", "PostToolUse",
      "PostToolUseFailure", "PermissionRequest", "Notification",     "Stop",       "PreCompact"};
};

}  // namespace parley::protocol
