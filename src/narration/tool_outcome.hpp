#pragma once

// What a finished tool call tells the phone: whether it worked, a short
// speakable summary, and the full text behind it (a command's output; for
// a file change, the diff).

#include <string>

#include "protocol/hook_payload.hpp"

namespace parley::narration {

inline constexpr std::size_t kMaxSummary = 120;

struct ToolOutcome {
  bool ok = true;
  std::string summary;
  // The summary is shorter than the full text.
  bool truncated = false;
  std::string fullText;
};

// For a PostToolUse or PostToolUseFailure.
ToolOutcome toolOutcome(const protocol::HookPayload& payload);

}  // namespace parley::narration
