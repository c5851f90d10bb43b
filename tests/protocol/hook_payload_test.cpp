#include "protocol/hook_payload.hpp"

#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace parley::protocol {
namespace {

HookPayload decode(std::string_view line) {
  return HookPayload::decode(line);
}

TEST(HookPayload, DecodesEveryLineClaudeCodeSent) {
  const auto lines = test::readLines(test::fixturePath("claude-code-2.1.222/hooks.ndjson"));
  ASSERT_EQ(lines.size(), 30u);
  std::map<HookPayload::Event, int> seen;
  for (const std::string& line : lines) {
    const HookPayload p = decode(line);
    ++seen[p.hookEventName];
    EXPECT_EQ(p.sessionID, "993ca02b-ef34-49bc-8f1c-ce1ca7c3d6e3");
    EXPECT_EQ(p.tmuxPane, "%0");
    EXPECT_EQ(p.tmuxSocketPath(), "/tmp/tmux-1000/default");
    EXPECT_EQ(p.cwd, "/home/dev/proj");
  }
  EXPECT_EQ(seen[HookPayload::Event::userPromptSubmit], 9);
  EXPECT_EQ(seen[HookPayload::Event::permissionRequest], 4);
  EXPECT_EQ(seen[HookPayload::Event::sessionEnd], 1);

  // A Bash call and its result, with the keys Claude Code adds that we ignore.
  const HookPayload post = decode(lines[13]);
  ASSERT_EQ(post.hookEventName, HookPayload::Event::postToolUse);
  EXPECT_EQ(post.toolName, "Bash");
  EXPECT_EQ(post.permissionMode, PermissionMode::default_);
  ASSERT_TRUE(post.toolInput);
  EXPECT_NE(post.toolInput->string("command"), nullptr);
  EXPECT_TRUE(post.toolResponse && post.toolResponse->objectValue());
  EXPECT_TRUE(post.durationMS.has_value());

  const HookPayload stop = decode(lines[2]);
  EXPECT_EQ(stop.lastAssistantMessage, "You said:");
  EXPECT_EQ(stop.stopHookActive, false);
  EXPECT_EQ(decode(lines[0]).model, "claude-opus-5[1m]");
  EXPECT_EQ(decode(lines[0]).source, "startup");
  EXPECT_TRUE(decode(lines[6]).isPermissionPrompt());
  EXPECT_TRUE(decode(lines[5]).isPermissionPrompt());
  EXPECT_FALSE(decode(lines[4]).isPermissionPrompt());
}

TEST(HookPayload, OnlyTheEventNameIsRequired) {
  const HookPayload p = decode(R"({"hook_event_name":"Stop"})");
  EXPECT_EQ(p, HookPayload(HookPayload::Event::stop));
  EXPECT_EQ(json::serialize(p.toJson()), R"({"hook_event_name":"Stop"})");
}

TEST(HookPayload, BadEventNamesFailTheLine) {
  for (const char* line : {R"({"hook_event_name":"SubagentStop"})", R"({"hook_event_name":"stop"})",
                           R"({"hook_event_name":7})", R"({"session_id":"s"})", "[]", "not json",
                           R"({"hook_event_name":"Stop")"}) {
    EXPECT_THROW(decode(line), DecodeError) << line;
  }
}

TEST(HookPayload, LoneSurrogatesAndIllFormedUtf8ReadAsReplacementCharacters) {
  const struct {
    const char* prompt;  // as written inside the JSON string
    const char* decoded;
  } cases[] = {
      {R"(half \ud83d pair)", "half \uFFFD pair"},
      {R"(\uDC00\ud83d)", "\uFFFD\uFFFD"},
      {R"(\ud83d\u0041)", "\uFFFDA"},
      {R"(\ud83d\ude00 kept)", "\U0001F600 kept"},
      {R"(\\ud83d is text)", "\\ud83d is text"},
      {R"(\"\ud83d)", "\"\uFFFD"},
      {"bad \xFF byte", "bad \uFFFD byte"},
  };
  for (const auto& c : cases) {
    const std::string line =
        std::string(R"({"hook_event_name":"UserPromptSubmit","prompt":")") + c.prompt + "\"}";
    EXPECT_EQ(decode(line).prompt, c.decoded) << c.prompt;
  }
}

TEST(HookPayload, DeepToolInputsDecodeUpToAnAttackersDepth) {
  const auto nested = [](std::size_t depth) {
    return R"({"hook_event_name":"PreToolUse","tool_input":)" + std::string(depth, '[') + "1" +
           std::string(depth, ']') + "}";
  };
  EXPECT_TRUE(decode(nested(100)).toolInput);
  EXPECT_THROW(decode(nested(100000)), DecodeError);
}

TEST(HookPayload, MalformedSideFieldsReadAsAbsent) {
  const HookPayload p = decode(R"({
      "hook_event_name": "PostToolUse", "session_id": 12, "permission_mode": "yolo",
      "duration_ms": "12", "stop_hook_active": 1, "tool_input": null, "tool_response": [],
      "prompt": ["x"], "cwd": "/p", "extra": {"nested": true}})");
  EXPECT_EQ(p.sessionID, std::nullopt);
  EXPECT_EQ(p.permissionMode, std::nullopt);
  EXPECT_EQ(p.durationMS, std::nullopt);
  EXPECT_EQ(p.stopHookActive, std::nullopt);
  EXPECT_EQ(p.toolInput, std::nullopt);
  EXPECT_EQ(p.toolResponse, JSONValue(JSONValue::Array{}));
  EXPECT_EQ(p.prompt, std::nullopt);
  EXPECT_EQ(p.cwd, "/p");
}

TEST(HookPayload, DurationMustBeAWholeNumber) {
  EXPECT_EQ(decode(R"({"hook_event_name":"Stop","duration_ms":12})").durationMS, 12);
  EXPECT_EQ(decode(R"({"hook_event_name":"Stop","duration_ms":12.0})").durationMS, 12);
  EXPECT_EQ(decode(R"({"hook_event_name":"Stop","duration_ms":12.5})").durationMS, std::nullopt);
  EXPECT_EQ(decode(R"({"hook_event_name":"Stop","duration_ms":1e30})").durationMS, std::nullopt);
  EXPECT_EQ(decode(R"({"hook_event_name":"Stop","tool_input":"ls"})").toolInput, JSONValue("ls"));
}

TEST(HookPayload, PermissionPromptsAreRequestsOrPermissionNotifications) {
  HookPayload n(HookPayload::Event::notification);
  EXPECT_FALSE(n.isPermissionPrompt());
  n.notificationType = "idle_prompt";
  EXPECT_FALSE(n.isPermissionPrompt());
  n.notificationType = "permission_prompt";
  EXPECT_TRUE(n.isPermissionPrompt());
  EXPECT_TRUE(HookPayload(HookPayload::Event::permissionRequest).isPermissionPrompt());
  HookPayload stop(HookPayload::Event::stop);
  stop.notificationType = "permission_prompt";
  EXPECT_FALSE(stop.isPermissionPrompt());
}

TEST(HookPayload, TmuxSocketPathIsTheFirstNonEmptyField) {
  HookPayload p(HookPayload::Event::stop);
  EXPECT_EQ(p.tmuxSocketPath(), std::nullopt);
  p.tmuxEnv = "/tmp/tmux-501/default,4208,0";
  EXPECT_EQ(p.tmuxSocketPath(), "/tmp/tmux-501/default");
  p.tmuxEnv = ",,/tmp/s,1";
  EXPECT_EQ(p.tmuxSocketPath(), "/tmp/s");
  p.tmuxEnv = "";
  EXPECT_EQ(p.tmuxSocketPath(), std::nullopt);
  p.tmuxEnv = ",,";
  EXPECT_EQ(p.tmuxSocketPath(), std::nullopt);
}

TEST(HookPayload, EncodesPresentFieldsInTableOrder) {
  HookPayload p(HookPayload::Event::preToolUse);
  p.tmuxPane = "%1";
  p.toolInput = JSONValue(JSONValue::Object{{"command", JSONValue("ls")}});
  p.sessionID = "s";
  p.durationMS = 5;
  p.permissionMode = PermissionMode::auto_;
  EXPECT_EQ(
      json::serialize(p.toJson()),
      R"({"hook_event_name":"PreToolUse","session_id":"s","permission_mode":"auto","tool_input":{"command":"ls"},"duration_ms":5,"tmux_pane":"%1"})");
  EXPECT_EQ(HookPayload::fromJson(p.toJson()), p);
}

}  // namespace
}  // namespace parley::protocol
