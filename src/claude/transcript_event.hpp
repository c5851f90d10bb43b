#pragma once

// What a Claude Code transcript line says, as far as a listener cares: the
// prompts a person typed, the assistant's text, and the tool calls with
// their results. Transcripts belong to Claude Code and change shape between
// versions, so the decoder is tolerant: anything it does not recognise
// yields no event, and it never fails.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "protocol/json_value.hpp"
#include "protocol/wire_coding.hpp"

namespace parley::claude {

struct TranscriptEvent {
  struct UserPrompt {
    std::string text;
    bool operator==(const UserPrompt&) const = default;
  };
  struct AssistantText {
    std::string text;
    bool operator==(const AssistantText&) const = default;
  };
  struct ToolUse {
    std::string toolUseID;
    std::string name;
    protocol::JSONValue input;
    bool operator==(const ToolUse&) const = default;
  };
  struct ToolResult {
    std::string toolUseID;
    std::string text;
    bool isError = false;
    // The command's standard error, when the line's "toolUseResult" carries
    // a non-empty one.
    std::optional<std::string> stderrText;
    bool operator==(const ToolResult&) const = default;
  };
  using Kind = std::variant<UserPrompt, AssistantText, ToolUse, ToolResult>;

  Kind kind;
  std::string uuid;       // empty when the line has none
  std::string sessionID;  // "sessionId", else "session_id", else empty
  std::optional<protocol::Date> timestamp;
  // Byte offset just past the line feed that ends the line.
  std::uint64_t endOffset = 0;

  bool operator==(const TranscriptEvent&) const = default;
  std::size_t hash() const;
};

namespace TranscriptDecoder {

// The events of one transcript line (without its line feed), in order;
// possibly none. Never fails.
std::vector<TranscriptEvent> decode(std::string_view line, std::uint64_t endOffset);

// "2025-01-02T03:04:05.678Z": UTC with an optional fraction of a second.
std::optional<protocol::Date> parseTimestamp(std::string_view text);

}  // namespace TranscriptDecoder

}  // namespace parley::claude

template <>
struct std::hash<parley::claude::TranscriptEvent> {
  std::size_t operator()(const parley::claude::TranscriptEvent& e) const { return e.hash(); }
};
