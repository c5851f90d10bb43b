#include "claude/transcript_event.hpp"

#include <boost/json/parse.hpp>

#include "protocol/hash_combine.hpp"

namespace parley::claude {

namespace json = boost::json;

namespace {

const json::string* stringAt(const json::object& object, std::string_view key) {
  const json::value* value = object.if_contains(key);
  return value == nullptr ? nullptr : value->if_string();
}

std::string stringOr(const json::object& object, std::string_view key) {
  const json::string* s = stringAt(object, key);
  return s == nullptr ? std::string() : std::string(*s);
}

bool isTrue(const json::object& object, std::string_view key) {
  const json::value* value = object.if_contains(key);
  return value != nullptr && value->is_bool() && value->get_bool();
}

std::optional<int> digits(std::string_view text, std::size_t pos, std::size_t count) {
  if (pos + count > text.size())
    return std::nullopt;
  int value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9')
      return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// A tool result's text: its content when that is a string, else the texts of
// its text blocks joined by line feeds.
std::string toolResultText(const json::object& block) {
  const json::value* content = block.if_contains("content");
  if (content == nullptr)
    return {};
  if (const json::string* s = content->if_string())
    return std::string(*s);
  std::string text;
  if (const json::array* parts = content->if_array()) {
    bool first = true;
    for (const json::value& part : *parts) {
      const json::object* object = part.if_object();
      if (object == nullptr || stringOr(*object, "type") != "text")
        continue;
      const json::string* partText = stringAt(*object, "text");
      if (partText == nullptr)
        continue;
      if (!first)
        text += '\n';
      text.append(partText->data(), partText->size());
      first = false;
    }
  }
  return text;
}

}  // namespace

std::size_t TranscriptEvent::hash() const {
  std::size_t seed = 0;
  protocol::hashInto(seed, kind.index());
  std::visit(
      [&](const auto& k) {
        using K = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<K, UserPrompt> || std::is_same_v<K, AssistantText>) {
          protocol::hashInto(seed, k.text);
        } else if constexpr (std::is_same_v<K, ToolUse>) {
          protocol::hashInto(seed, k.toolUseID);
          protocol::hashInto(seed, k.name);
          protocol::hashInto(seed, k.input);
        } else {
          protocol::hashInto(seed, k.toolUseID);
          protocol::hashInto(seed, k.text);
          protocol::hashInto(seed, k.isError);
          protocol::hashInto(seed, k.stderrText);
        }
      },
      kind);
  protocol::hashInto(seed, uuid);
  protocol::hashInto(seed, sessionID);
  protocol::hashInto(seed, timestamp.has_value());
  if (timestamp)
    protocol::hashInto(seed, timestamp->time_since_epoch().count());
  protocol::hashInto(seed, endOffset);
  return seed;
}

namespace TranscriptDecoder {

std::optional<protocol::Date> parseTimestamp(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SS[.f...]Z
  if (text.size() < 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text.back() != 'Z')
    return std::nullopt;
  const auto y = digits(text, 0, 4), mo = digits(text, 5, 2), d = digits(text, 8, 2);
  const auto h = digits(text, 11, 2), mi = digits(text, 14, 2), s = digits(text, 17, 2);
  if (!y || !mo || !d || !h || !mi || !s || *h > 23 || *mi > 59 || *s > 59)
    return std::nullopt;
  std::int64_t nanos = 0;
  const std::string_view fraction = text.substr(19, text.size() - 20);
  if (!fraction.empty()) {
    if (fraction[0] != '.' || fraction.size() < 2 || fraction.size() > 10)
      return std::nullopt;
    const auto value = digits(fraction, 1, fraction.size() - 1);
    if (!value)
      return std::nullopt;
    nanos = *value;
    for (std::size_t i = fraction.size() - 1; i < 9; ++i)
      nanos *= 10;
  }
  using namespace std::chrono;
  const year_month_day date{year(*y), month(static_cast<unsigned>(*mo)),
                            day(static_cast<unsigned>(*d))};
  if (!date.ok())
    return std::nullopt;
  return protocol::dateAt(sys_days(date) + hours(*h) + minutes(*mi) + seconds(*s),
                          nanoseconds(nanos));
}

std::vector<TranscriptEvent> decode(std::string_view line, std::uint64_t endOffset) {
  std::vector<TranscriptEvent> events;
  boost::system::error_code error;
  const json::value value = json::parse(line, error);
  if (error)
    return events;
  const json::object* entry = value.if_object();
  if (entry == nullptr)
    return events;
  const json::string* type = stringAt(*entry, "type");
  if (type == nullptr || isTrue(*entry, "isSidechain") || isTrue(*entry, "isMeta"))
    return events;
  if (*type != "assistant" && *type != "user")
    return events;

  TranscriptEvent base;
  base.uuid = stringOr(*entry, "uuid");
  if (const json::string* id = stringAt(*entry, "sessionId"))
    base.sessionID = std::string(*id);
  else
    base.sessionID = stringOr(*entry, "session_id");
  if (const json::string* stamp = stringAt(*entry, "timestamp"))
    base.timestamp = parseTimestamp(*stamp);
  base.endOffset = endOffset;
  auto emit = [&](TranscriptEvent::Kind kind) {
    TranscriptEvent event = base;
    event.kind = std::move(kind);
    events.push_back(std::move(event));
  };

  const json::value* message = entry->if_contains("message");
  const json::value* content = message != nullptr && message->is_object()
                                   ? message->get_object().if_contains("content")
                                   : nullptr;
  if (content == nullptr)
    return events;

  if (*type == "user") {
    if (const json::string* text = content->if_string()) {
      if (!text->empty())
        emit(TranscriptEvent::UserPrompt{std::string(*text)});
      return events;
    }
  }
  const json::array* blocks = content->if_array();
  if (blocks == nullptr)
    return events;

  for (const json::value& element : *blocks) {
    const json::object* block = element.if_object();
    if (block == nullptr)
      continue;
    const std::string blockType = stringOr(*block, "type");
    if (blockType == "text") {
      const json::string* text = stringAt(*block, "text");
      if (text == nullptr || text->empty())
        continue;
      if (*type == "assistant")
        emit(TranscriptEvent::AssistantText{std::string(*text)});
      else
        emit(TranscriptEvent::UserPrompt{std::string(*text)});
    } else if (blockType == "tool_use" && *type == "assistant") {
      const json::value* input = block->if_contains("input");
      emit(TranscriptEvent::ToolUse{stringOr(*block, "id"), stringOr(*block, "name"),
                                    input != nullptr && !input->is_null()
                                        ? protocol::JSONValue::fromJson(*input)
                                        : protocol::JSONValue(protocol::JSONValue::Object{})});
    } else if (blockType == "tool_result" && *type == "user") {
      TranscriptEvent::ToolResult result;
      result.toolUseID = stringOr(*block, "tool_use_id");
      result.text = toolResultText(*block);
      if (const json::value* isError = block->if_contains("is_error");
          isError && isError->is_bool())
        result.isError = isError->get_bool();
      if (const json::value* outcome = entry->if_contains("toolUseResult");
          outcome != nullptr && outcome->is_object()) {
        const json::string* standardError = stringAt(outcome->get_object(), "stderr");
        if (standardError != nullptr && !standardError->empty())
          result.stderrText = std::string(*standardError);
      }
      emit(std::move(result));
    }
  }
  return events;
}

}  // namespace TranscriptDecoder

}  // namespace parley::claude
