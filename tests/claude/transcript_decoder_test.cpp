#include <gtest/gtest.h>

#include "claude/transcript_event.hpp"
#include "support/test_support.hpp"

namespace parley::claude {
namespace {

using Event = TranscriptEvent;
using protocol::JSONValue;

std::vector<Event> decodeFile(const std::string& content) {
  std::vector<Event> events;
  std::uint64_t offset = 0;
  for (std::size_t start = 0, feed; (feed = content.find('\n', start)) != std::string::npos;
       start = feed + 1) {
    offset = feed + 1;
    for (Event& e :
         TranscriptDecoder::decode(std::string_view(content).substr(start, feed - start), offset))
      events.push_back(std::move(e));
  }
  return events;
}

// One letter per kind, then the text or tool id, for a compact comparison.
std::string summary(const Event& e) {
  return std::visit(
      [](const auto& k) -> std::string {
        using K = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<K, Event::UserPrompt>)
          return "P " + k.text;
        else if constexpr (std::is_same_v<K, Event::AssistantText>)
          return "A " + k.text.substr(0, 40);
        else if constexpr (std::is_same_v<K, Event::ToolUse>)
          return "U " + k.toolUseID + " " + k.name;
        else
          return "R " + k.toolUseID + (k.isError ? " error" : "");
      },
      e.kind);
}

TEST(TranscriptDecoder, ReadsTheCapturedTranscriptIntoPromptsTextsToolUsesAndResults) {
  const std::string content =
      test::readFile(test::fixturePath("claude-code-2.1.222/transcript.jsonl"));
  const std::vector<Event> events = decodeFile(content);

  const std::vector<std::pair<std::string, std::uint64_t>> expected = {
      {"P please run the listing", 906},
      {"A You said: ", 9916},
      {"P 1write file with notes", 11749},
      {"A Writing the notes file.", 12718},
      {"U toolu_18ca57cf50724efdb23b5db5 Write", 13785},
      {"R toolu_18ca57cf50724efdb23b5db5 error", 14717},
      {"P [Request interrupted by user for tool use]", 15254},
      {"P please run the listing", 16415},
      {"A All done. I created **newfile.txt** and ", 17423},
      {"P please run it again", 19254},
      {"A I will list the files.", 20222},
      {"U toolu_679541e430814b20bf7bc4ff Bash", 21317},
      {"R toolu_679541e430814b20bf7bc4ff", 22552},
      {"A All done. I created **newfile.txt** and ", 23560},
      {"P ask me about the database", 25398},
      {"U toolu_63941b01e1e147b9b35ac284 AskUserQuestion", 26626},
      {"R toolu_63941b01e1e147b9b35ac284", 27675},
      {"A All done. I created **newfile.txt** and ", 28683},
      {"P long answer please", 30514},
      {"A ## Summary\n\nI refactored the **session r", 31798},
      {"P danger zone push", 33972},
      {"A Pushing now.", 35330},
      {"U toolu_33dea83ccbce468baf852e6e Bash", 36411},
      {"R toolu_33dea83ccbce468baf852e6e error", 37343},
      {"P [Request interrupted by user for tool use]", 37880},
      {"P slow answer", 39029},
      {"A word0 word1 word2 word3 word4 word5 ", 39724},
      {"P [Request interrupted by user]", 40302},
      {"P hello there", 41073},
      {"A You said: [Request interrupted by user]\n", 42600},
  };
  ASSERT_EQ(events.size(), expected.size());
  for (std::size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(summary(events[i]), expected[i].first) << i;
    EXPECT_EQ(events[i].endOffset, expected[i].second) << i;
    EXPECT_EQ(events[i].sessionID, "993ca02b-ef34-49bc-8f1c-ce1ca7c3d6e3") << i;
    EXPECT_FALSE(events[i].uuid.empty()) << i;
    EXPECT_TRUE(events[i].timestamp) << i;
  }
  EXPECT_EQ(events[0].uuid, "84df02a8-486b-42ce-8ecd-31fceca2c193");
  EXPECT_EQ(protocol::formatDate(*events[0].timestamp), "2026-12-06T07:25:59Z");
  EXPECT_EQ(events[0].timestamp->time_since_epoch() % std::chrono::seconds(1),
            std::chrono::milliseconds(117));

  const auto& write = std::get<Event::ToolUse>(events[4].kind);
  EXPECT_EQ(write.input, JSONValue(JSONValue::Object{{"file_path", "./notes.txt"},
                                                     {"content", "hello from the stand-in\n"}}));
  const auto& rejected = std::get<Event::ToolResult>(events[5].kind);
  EXPECT_EQ(rejected.text.rfind("The user doesn't want to proceed with this tool use.", 0), 0u);
  EXPECT_FALSE(rejected.stderrText);  // "toolUseResult" is a plain string there
  const auto& listing = std::get<Event::ToolResult>(events[12].kind);
  EXPECT_EQ(listing.text.rfind("total 16\ndrwxr-xr-x 3 root root 4096 Dec  6 07:27 .\n", 0), 0u);
  EXPECT_FALSE(listing.isError);
  EXPECT_FALSE(listing.stderrText);  // present but empty
  const std::string* command = std::get<Event::ToolUse>(events[22].kind).input.string("command");
  ASSERT_TRUE(command);
  EXPECT_EQ(*command, "git push --force origin main");
}

TEST(TranscriptDecoder, SkipsSidechainMetaAndOtherEntryTypesWhateverTheyHold) {
  const std::string message = R"("message":{"role":"user","content":"hi"})";
  for (const std::string& line : std::vector<std::string>{
           R"({"type":"user","isSidechain":true,)" + message + "}",
           R"({"type":"user","isMeta":true,)" + message + "}",
           R"({"type":"system",)" + message + "}",
           R"({"type":"attachment",)" + message + "}",
           R"({"type":"file-history-snapshot",)" + message + "}",
           R"({"isSidechain":false,)" + message + "}",
           R"({"type":7,)" + message + "}",
           std::string(R"({"type":"user","message":{"content":""}})"),
           std::string(R"({"type":"user","message":"not an object"})"),
           std::string(R"({"type":"assistant","message":{"content":"plain string"}})"),
           std::string("not json"),
           std::string("[1,2]"),
           std::string(""),
       }) {
    EXPECT_TRUE(TranscriptDecoder::decode(line, 10).empty()) << line;
  }
  EXPECT_EQ(TranscriptDecoder::decode(
                R"({"type":"user","isSidechain":false,"isMeta":"yes",)" + message + "}", 1)
                .size(),
            1u);
}

TEST(TranscriptDecoder, AssistantBlocksGiveTextAndToolUsesOnly) {
  const auto events = TranscriptDecoder::decode(
      R"({"type":"assistant","uuid":"u1","sessionId":"s","message":{"content":[)"
      R"({"type":"thinking","thinking":"hmm"},{"type":"text","text":""},)"
      R"({"type":"tool_use","id":"t1","name":"Bash","input":{"command":"ls"}},)"
      R"({"type":"tool_use"},{"type":"tool_result","tool_use_id":"x","content":"no"},)"
      R"({"type":"text","text":"done"}]}})",
      99);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(std::get<Event::ToolUse>(events[0].kind),
            (Event::ToolUse{"t1", "Bash", JSONValue::Object{{"command", "ls"}}}));
  EXPECT_EQ(std::get<Event::ToolUse>(events[1].kind),
            (Event::ToolUse{"", "", JSONValue::Object{}}));
  EXPECT_EQ(std::get<Event::AssistantText>(events[2].kind).text, "done");
  for (const Event& e : events) {
    EXPECT_EQ(e.uuid, "u1");
    EXPECT_EQ(e.sessionID, "s");
    EXPECT_EQ(e.endOffset, 99u);
    EXPECT_FALSE(e.timestamp);
  }
}

TEST(TranscriptDecoder, ToolResultsJoinTextBlocksAndReadStderrFromTheLine) {
  const auto events = TranscriptDecoder::decode(
      R"({"type":"user","session_id":"fallback","timestamp":"not a date",)"
      R"("toolUseResult":{"stdout":"a","stderr":"warning: x"},"message":{"content":[)"
      R"({"type":"tool_result","tool_use_id":"t1","content":[{"type":"text","text":"one"},)"
      R"({"type":"image","source":{}},{"type":"text","text":"two"}],"is_error":true},)"
      R"({"type":"tool_result","tool_use_id":"t2","is_error":"yes"},)"
      R"({"type":"text","text":"typed"}]}})",
      5);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(std::get<Event::ToolResult>(events[0].kind),
            (Event::ToolResult{"t1", "one\ntwo", true, "warning: x"}));
  EXPECT_EQ(std::get<Event::ToolResult>(events[1].kind),
            (Event::ToolResult{"t2", "", false, "warning: x"}));
  EXPECT_EQ(std::get<Event::UserPrompt>(events[2].kind).text, "typed");
  EXPECT_EQ(events[0].sessionID, "fallback");
  EXPECT_FALSE(events[0].timestamp);

  const auto quiet = TranscriptDecoder::decode(
      R"({"type":"user","sessionId":"main","session_id":"other","toolUseResult":{"stderr":""},)"
      R"("message":{"content":[{"type":"tool_result","tool_use_id":"t","content":"ok"}]}})",
      5);
  ASSERT_EQ(quiet.size(), 1u);
  EXPECT_FALSE(std::get<Event::ToolResult>(quiet[0].kind).stderrText);
  EXPECT_EQ(quiet[0].sessionID, "main");
}

TEST(TranscriptDecoder, TimestampsAreUtcWithAnOptionalFraction) {
  using namespace std::chrono;
  const auto parse = TranscriptDecoder::parseTimestamp;
  EXPECT_EQ(parse("2025-01-02T03:04:05.678Z"),
            sys_days(year(2025) / 1 / 2) + hours(3) + minutes(4) + seconds(5) + milliseconds(678));
  EXPECT_EQ(parse("2024-02-29T23:59:59Z"),
            sys_days(year(2024) / 2 / 29) + hours(23) + minutes(59) + seconds(59));
  EXPECT_EQ(parse("2025-01-02T03:04:05.123456789Z")->time_since_epoch() % seconds(1),
            nanoseconds(123456789));
  for (const char* bad : {"2025-02-30T00:00:00.000Z", "2025-01-02T24:00:00.000Z",
                          "2025-01-02T03:04:05.678+01:00", "2025-01-02 03:04:05.678Z",
                          "2025-01-02T03:04:05.Z", "2025-01-02T03:04:05.1234567890Z", "", "Z",
                          // Beyond what a Date holds: refused, not wrapped into another year.
                          "1012-01-31T09:15:00.000Z", "9999-12-31T23:59:59.999999999Z"})
    EXPECT_FALSE(parse(bad)) << bad;
}

}  // namespace
}  // namespace parley::claude
