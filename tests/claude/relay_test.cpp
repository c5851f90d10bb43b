#include "relay/relay.hpp"

#include <gtest/gtest.h>

#include <boost/json.hpp>

namespace parley::relay {
namespace {

namespace json = boost::json;

json::object parsedLine(const std::string& line) {
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line only";
  return json::parse(line).as_object();
}

TEST(RelayComposeLine, AddsTheTmuxKeysAndKeepsEverythingElse) {
  const std::string input =
      "{\n  \"hook_event_name\": \"PreToolUse\",\n  \"tool_input\": {\"command\": \"ls \\\"a "
      "b\\\"\\n\"},"
      "\n  \"prompt\": \"caf\\u00e9 \xE2\x9C\x93 / \\\\\",\n  \"n\": 1.5e3\n}\n";
  const auto line = composeLine(input, "%3", "/tmp/tmux-1000/default,4208,0");
  ASSERT_TRUE(line);
  json::object expected = json::parse(input).as_object();
  expected["tmux_pane"] = "%3";
  expected["tmux_env"] = "/tmp/tmux-1000/default,4208,0";
  EXPECT_EQ(parsedLine(*line), expected);
  const std::string tail = R"(,"tmux_pane":"%3","tmux_env":"/tmp/tmux-1000/default,4208,0"})"
                           "\n";
  EXPECT_TRUE(line->ends_with(tail)) << *line;
}

TEST(RelayComposeLine, ReplacesStaleTmuxKeysAndAddsNothingOutsideTmux) {
  const std::string input = R"({"tmux_pane":"%old","hook_event_name":"Stop","tmux_env":"old"})";
  EXPECT_EQ(*composeLine(input, "%1", "sock,1,2"),
            R"({"tmux_pane":"%1","hook_event_name":"Stop","tmux_env":"sock,1,2"})"
            "\n");
  EXPECT_EQ(*composeLine(R"({ "hook_event_name" : "Stop" })", nullptr, nullptr),
            R"({"hook_event_name":"Stop"})"
            "\n");
  EXPECT_EQ(*composeLine(R"({"hook_event_name":"Stop"})", "", nullptr),
            R"({"hook_event_name":"Stop","tmux_pane":""})"
            "\n");
}

TEST(RelayComposeLine, SendsNothingForInputThatIsNotAJsonObject) {
  for (const char* input : {"", "   ", "not json", "[1,2]", "\"text\"", "42",
                            "{\"a\":", "{\"a\":1} {\"b\":2}", "{\"a\":\"\xFF\"}"}) {
    EXPECT_FALSE(composeLine(input, "%1", "x")) << input;
  }
}

}  // namespace
}  // namespace parley::relay
