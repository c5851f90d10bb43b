#include "protocol/hook_payload.hpp"

#include <boost/json/parse.hpp>

#include "text/utf8.hpp"

namespace parley::protocol {

namespace {

// Claude Code's tool inputs nest as deep as the model writes them; the
// parser's default of 32 refuses real events. Deeper still than this is not
// an event but an attack on our stack.
constexpr std::size_t kMaxDepth = 512;

int hexDigit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// The code unit of a "\uXXXX" escape starting at `at`, or -1.
long escapedUnit(std::string_view text, std::size_t at) {
  if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u')
    return -1;
  long unit = 0;
  for (std::size_t i = at + 2; i < at + 6; ++i) {
    const int digit = hexDigit(text[i]);
    if (digit < 0)
      return -1;
    unit = unit * 16 + digit;
  }
  return unit;
}

// JavaScript strings may hold half of a surrogate pair, and JSON.stringify
// writes one as a lone "\ud83d" escape, which the parser refuses. Each such
// escape becomes "\ufffd" (the same length), as a UTF-8 decoder reads an
// ill-formed sequence; nothing when the text has none.
std::optional<std::string> withLoneSurrogatesReplaced(std::string_view text) {
  std::optional<std::string> repaired;
  bool inString = false;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == '"') {
      inString = !inString;
      ++i;
    } else if (!inString || c != '\\') {
      ++i;
    } else {
      const long unit = escapedUnit(text, i);
      if (unit < 0xD800 || unit > 0xDFFF) {
        i += unit < 0 ? 2 : 6;
        continue;
      }
      const long next = escapedUnit(text, i + 6);
      if (unit < 0xDC00 && next >= 0xDC00 && next <= 0xDFFF) {
        i += 12;
        continue;
      }
      if (!repaired)
        repaired.emplace(text);
      repaired->replace(i, 6, "\\ufffd");
      i += 6;
    }
  }
  return repaired;
}

// Tolerant reads: anything but the expected shape leaves the field absent.
std::optional<std::string> optionalString(const json::object& o, std::string_view key) {
  const json::value* v = o.if_contains(key);
  if (v == nullptr || !v->is_string())
    return std::nullopt;
  return std::string(v->get_string());
}

std::optional<JSONValue> optionalAny(const json::object& o, std::string_view key) {
  const json::value* v = o.if_contains(key);
  if (v == nullptr || v->is_null())
    return std::nullopt;
  return JSONValue::fromJson(*v);
}

std::optional<std::int64_t> optionalWholeNumber(const json::object& o, std::string_view key) {
  const json::value* v = o.if_contains(key);
  if (v == nullptr || !v->is_number())
    return std::nullopt;
  try {
    return decodeValue(*v, Tag<std::int64_t>{});
  } catch (const DecodeError&) {
    return std::nullopt;
  }
}

}  // namespace

bool HookPayload::isPermissionPrompt() const {
  return hookEventName == Event::permissionRequest ||
         (hookEventName == Event::notification && notificationType == "permission_prompt");
}

std::optional<std::string> HookPayload::tmuxSocketPath() const {
  if (!tmuxEnv)
    return std::nullopt;
  std::string_view rest = *tmuxEnv;
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    const std::string_view piece = rest.substr(0, comma);
    if (!piece.empty())
      return std::string(piece);
    if (comma == std::string_view::npos)
      break;
    rest.remove_prefix(comma + 1);
  }
  return std::nullopt;
}

HookPayload HookPayload::fromJson(const json::value& value) {
  const json::object* o = value.if_object();
  if (o == nullptr)
    throw DecodeError("hook payload: expected a JSON object");
  const json::value* name = o->if_contains("hook_event_name");
  if (name == nullptr)
    throw DecodeError("hook payload: missing \"hook_event_name\"");
  if (!name->is_string())
    throw DecodeError("hook payload: \"hook_event_name\" is not a string");
  const auto event = enumFromRaw<Event>(std::string_view(name->get_string()));
  if (!event)
    throw DecodeError("hook payload: unknown hook event \"" + std::string(name->get_string()) +
                      "\"");

  HookPayload p(*event);
  p.sessionID = optionalString(*o, "session_id");
  p.transcriptPath = optionalString(*o, "transcript_path");
  p.cwd = optionalString(*o, "cwd");
  p.promptID = optionalString(*o, "prompt_id");
  if (auto mode = optionalString(*o, "permission_mode"))
    p.permissionMode = enumFromRaw<PermissionMode>(*mode);
  p.prompt = optionalString(*o, "prompt");
  p.toolName = optionalString(*o, "tool_name");
  p.toolInput = optionalAny(*o, "tool_input");
  p.toolUseID = optionalString(*o, "tool_use_id");
  p.toolResponse = optionalAny(*o, "tool_response");
  p.durationMS = optionalWholeNumber(*o, "duration_ms");
  p.message = optionalString(*o, "message");
  p.notificationType = optionalString(*o, "notification_type");
  p.lastAssistantMessage = optionalString(*o, "last_assistant_message");
  if (const json::value* v = o->if_contains("stop_hook_active"); v && v->is_bool())
    p.stopHookActive = v->get_bool();
  p.source = optionalString(*o, "source");
  p.model = optionalString(*o, "model");
  p.reason = optionalString(*o, "reason");
  p.tmuxPane = optionalString(*o, "tmux_pane");
  p.tmuxEnv = optionalString(*o, "tmux_env");
  return p;
}

HookPayload HookPayload::decode(std::string_view line) {
  // Ill-formed UTF-8 and lone surrogates are read as U+FFFD rather than cost
  // the whole event.
  std::string valid;
  if (!text::isValidUtf8(line)) {
    valid = text::toValidUtf8(line);
    line = valid;
  }
  const std::optional<std::string> repaired = withLoneSurrogatesReplaced(line);
  if (repaired)
    line = *repaired;
  json::parse_options options;
  options.max_depth = kMaxDepth;
  boost::system::error_code error;
  const json::value value = json::parse(line, error, {}, options);
  if (error)
    throw DecodeError("malformed JSON: " + error.message());
  return fromJson(value);
}

json::object HookPayload::toJson() const {
  return ObjectWriter()
      .put("hook_event_name", hookEventName)
      .put("session_id", sessionID)
      .put("transcript_path", transcriptPath)
      .put("cwd", cwd)
      .put("prompt_id", promptID)
      .put("permission_mode", permissionMode)
      .put("prompt", prompt)
      .put("tool_name", toolName)
      .put("tool_input", toolInput)
      .put("tool_use_id", toolUseID)
      .put("tool_response", toolResponse)
      .put("duration_ms", durationMS)
      .put("message", message)
      .put("notification_type", notificationType)
      .put("last_assistant_message", lastAssistantMessage)
      .put("stop_hook_active", stopHookActive)
      .put("source", source)
      .put("model", model)
      .put("reason", reason)
      .put("tmux_pane", tmuxPane)
      .put("tmux_env", tmuxEnv)
      .take();
}

}  // namespace parley::protocol
