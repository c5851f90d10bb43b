// Feeds an arbitrary line to the transcript decoder, which must never fail:
// no exception, every event stamped with the offset it was given, texts that
// are never empty where the decoder promises so, and a timestamp only when
// it names a real instant, which the wire's date form then writes back as the
// same second.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <variant>

#include "claude/transcript_event.hpp"

using namespace parley;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const std::uint64_t endOffset = size + 1;
  for (const claude::TranscriptEvent& event : claude::TranscriptDecoder::decode(line, endOffset)) {
    if (event.endOffset != endOffset)
      std::abort();
    if (const auto* prompt = std::get_if<claude::TranscriptEvent::UserPrompt>(&event.kind);
        prompt && prompt->text.empty())
      std::abort();
    if (const auto* text = std::get_if<claude::TranscriptEvent::AssistantText>(&event.kind);
        text && text->text.empty())
      std::abort();
    if (const auto* result = std::get_if<claude::TranscriptEvent::ToolResult>(&event.kind);
        result && result->stderrText && result->stderrText->empty())
      std::abort();
    if (event.timestamp) {
      const auto second = std::chrono::floor<std::chrono::seconds>(*event.timestamp);
      const std::string written = protocol::formatDate(*event.timestamp);
      if (claude::TranscriptDecoder::parseTimestamp(written) != second ||
          protocol::parseDate(written) != second)
        std::abort();
    }
  }

  // The timestamp parser on its own, with the bytes as the text.
  if (const auto stamp = claude::TranscriptDecoder::parseTimestamp(line)) {
    const std::string written = protocol::formatDate(*stamp);
    if (written.substr(0, 19) != line.substr(0, 19))
      std::abort();
  }
  return 0;
}
