#include "relay/relay.hpp"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "claude/ndjson_framer.hpp"

namespace parley::relay {
namespace {

namespace json = boost::json;

TEST(RelayComposeLine, AddsTheTmuxKeysLastAndKeepsTheEventAsWritten) {
  // Pretty-printed, with a number that a parse and re-serialise would change.
  const std::string input =
      "\n{\n  \"hook_event_name\": \"PreToolUse\",\n  \"n\": "
      "5.409760742964738e+124,\n  \"s\": \"caf\\u00e9 \\\"\xE2\x9C\x93\"\n}\n";
  const auto line = composeLine(input, "%3", "/tmp/tmux-1000/default,4208,0");
  ASSERT_TRUE(line);
  EXPECT_EQ(*line,
            "{   \"hook_event_name\": \"PreToolUse\",   \"n\": 5.409760742964738e+124,   "
            "\"s\": \"caf\\u00e9 \\\"\xE2\x9C\x93\" ,\"tmux_pane\":\"%3\","
            "\"tmux_env\":\"/tmp/tmux-1000/default,4208,0\"}\n");
}

TEST(RelayComposeLine, TmuxKeysWinOverStaleOnesAndAreLeftOutWhenUnset) {
  const std::string input = R"({"tmux_pane":"%old","hook_event_name":"Stop","tmux_env":"old"})";
  const json::object object = json::parse(*composeLine(input, "%1", "sock,1,2")).as_object();
  EXPECT_EQ(object.at("tmux_pane"), "%1");
  EXPECT_EQ(object.at("tmux_env"), "sock,1,2");
  EXPECT_EQ(*composeLine(R"({ "hook_event_name" : "Stop" })", nullptr, nullptr),
            "{ \"hook_event_name\" : \"Stop\" }\n");
  EXPECT_EQ(*composeLine(" { } ", "", nullptr), "{ \"tmux_pane\":\"\"}\n");
}

// Whatever the desktop's decoder may refuse still reaches it, so the refusal
// is logged there instead of the event vanishing here.
TEST(RelayComposeLine, ForwardsWhatItCannotParseAsOneLine) {
  const std::string deep = "{\"a\":" + std::string(40, '[') + std::string(40, ']') + "}";
  for (const std::string& input :
       {std::string(R"({"prompt":"half \ud83d pair"})"), deep, std::string("{\"a\":\"\xFF\"}"),
        std::string("{\"a\":\n1} {\"b\":2}")}) {
    const auto line = composeLine(input, "%1", "x");
    ASSERT_TRUE(line) << input;
    EXPECT_EQ(line->find('\n'), line->size() - 1) << input;
    EXPECT_TRUE(line->ends_with(R"(,"tmux_pane":"%1","tmux_env":"x"})"
                                "\n"))
        << input;
  }
  EXPECT_EQ(*composeLine("[1,2]", "%1", "x"), "[1,2]\n");
  EXPECT_FALSE(composeLine(" \n\t", "%1", "x"));
}

TEST(RelayComposeLine, TheLargestEventItReadsFitsTheListenersLine) {
  const std::string prefix = "{\"prompt\":\"";
  const std::string input = prefix + std::string(kMaxInput - prefix.size() - 2, 'p') + "\"}";
  ASSERT_EQ(input.size(), kMaxInput);
  const std::string env = "/tmp/tmux-0/" + std::string(200, '\x01') + ",1,0";
  const auto line = composeLine(input, "%123456", env.c_str());
  ASSERT_TRUE(line);
  EXPECT_LE(line->size() - 1, claude::NDJSONFramer::maxFrame);
}

}  // namespace
}  // namespace parley::relay
