#include <gtest/gtest.h>

#include "narration/detail_store.hpp"
#include "narration/edit_diff.hpp"
#include "narration/permission_description.hpp"
#include "narration/tool_outcome.hpp"
#include "protocol/remote_approval.hpp"

namespace parley::narration {
namespace {

using protocol::JSONValue;
using Kind = protocol::PermissionOption::Kind;
using protocol::RiskTier;

JSONValue object(std::initializer_list<std::pair<const std::string, JSONValue>> entries) {
  return JSONValue(JSONValue::Object(entries));
}

TEST(EditDiff, ShowsTheChangeOfEachFileTool) {
  // The second edit changes nothing and adds nothing to the diff.
  const JSONValue twoEdits(JSONValue::Array{object({{"old_string", "x"}, {"new_string", "y"}}),
                                            object({{"old_string", "p"}, {"new_string", "p"}})});
  struct Case {
    std::string tool;
    JSONValue input;
    std::string diff;
  };
  const std::vector<Case> cases{
      {"Edit",
       object({{"file_path", "/p/main.cpp"},
               {"old_string", "int a;\nint main() {}\nint b;"},
               {"new_string", "int a;\nint main() { return 0; }\nint b;"}}),
       "--- /p/main.cpp\n+++ /p/main.cpp\n@@ -1,3 +1,3 @@\n int a;\n-int main() {}\n+int "
       "main() { return 0; }\n int b;\n"},
      // The old text of a written file is not in the input: all of it is new.
      {"Write", object({{"file_path", "n.txt"}, {"content", "one\ntwo\n"}}),
       "--- n.txt\n+++ n.txt\n@@ -0,0 +1,2 @@\n+one\n+two\n"},
      {"MultiEdit", object({{"file_path", "m.txt"}, {"edits", twoEdits}}),
       "--- m.txt\n+++ m.txt\n@@ -1 +1 @@\n-x\n+y\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tool);
    EXPECT_EQ(EditDiff::forTool(c.tool, c.input), c.diff);
  }
  EXPECT_FALSE(EditDiff::forTool("Bash", object({{"command", "ls"}})));
  EXPECT_FALSE(EditDiff::forTool("Edit", object({{"old_string", "a"}})));
}

TEST(EditDiff, ALargeChangeIsCutAtALineAndSaysWhatIsLeft) {
  std::string content;
  for (int i = 0; i < 1000; ++i)
    content += "line " + std::to_string(i) + "\n";
  const std::string diff = EditDiff::between("f", "", content, 200);
  EXPECT_LE(diff.size(), 200u + 32u);
  EXPECT_NE(diff.find("+line 0\n"), std::string::npos);
  EXPECT_TRUE(diff.ends_with(" more lines\n")) << diff;
  EXPECT_EQ(diff.find("+line 99\n"), std::string::npos);
  // Two long texts too large to compare line by line still give a diff.
  std::string other = content;
  other.replace(0, 6, "LINE 0");
  EXPECT_NE(EditDiff::between("f", content + content + content, other + other + other, 1 << 20)
                .find("-line 0\n"),
            std::string::npos);
}

TEST(PermissionDescription, DetailAndNarrationSayWhatTheToolWants) {
  const JSONValue edit =
      object({{"file_path", "/p/a.txt"}, {"old_string", "x"}, {"new_string", "y"}});
  EXPECT_EQ(permissionDetail("Bash", object({{"command", "ls -la"}})), "ls -la");
  EXPECT_EQ(permissionDetail("Edit", edit),
            "/p/a.txt\n--- /p/a.txt\n+++ /p/a.txt\n@@ -1 +1 @@\n-x\n+y\n");
  const std::string flat =
      permissionDetail("mcp__db__query", object({{"sql", std::string(500, 'q')}}));
  EXPECT_EQ(flat, std::string(kMaxFlatDetail, 'q').append("\u2026"));

  PermissionFacts facts{
      .sessionID = "s",
      .toolName = "Bash",
      .toolInput = object({{"command", "git push --force"}, {"description", "Push"}}),
      .options = {{1, "Yes", Kind::allowOnce}},
      .tier = RiskTier::destructive};
  const auto danger = describePermission(facts);
  EXPECT_EQ(danger.description, "Push");
  EXPECT_EQ(danger.narration.text, "Claude wants to run git push --force.");
  EXPECT_NE(danger.narration.speech.find("only be approved at the keyboard"), std::string::npos);
  facts.tier = RiskTier::elevated;
  EXPECT_EQ(describePermission(facts).narration.speech.find("keyboard"), std::string::npos);
}

TEST(PermissionDescription, ADialogAloneNamesItsToolCall) {
  EXPECT_EQ(toolCallFromDialog("Bash command", "ls", "List").toolName, "Bash");
  EXPECT_EQ(*toolCallFromDialog("Bash command", "ls", "List").toolInput.string("command"), "ls");
  EXPECT_EQ(toolCallFromDialog("Edit file", "main.cpp", std::nullopt).toolName, "Edit");
  EXPECT_EQ(toolCallFromDialog("Create file", "n.txt", std::nullopt).toolName, "Write");
  EXPECT_EQ(toolCallFromDialog("Exit plan mode?", "", std::nullopt).toolName, "ExitPlanMode");
}

TEST(RemoteApproval, DestructiveCallsTakeOnlyDenialsAndNothingGrantsForGood) {
  using R = protocol::RemoteRefusal;
  for (RiskTier tier : {RiskTier::low, RiskTier::elevated, RiskTier::destructive}) {
    EXPECT_EQ(protocol::remoteRefusal(tier, Kind::allowAlways), R::grantsMore);
    EXPECT_EQ(protocol::remoteRefusal(tier, Kind::deny), std::nullopt);
  }
  EXPECT_EQ(protocol::remoteRefusal(RiskTier::destructive, Kind::allowOnce), R::keyboardOnly);
  EXPECT_EQ(protocol::remoteRefusal(RiskTier::destructive, Kind::unknown), R::keyboardOnly);
  EXPECT_EQ(protocol::remoteRefusal(RiskTier::elevated, Kind::allowOnce), std::nullopt);
}

TEST(DetailStore, KeepsTheNewestWithinCountAndBytes) {
  DetailStore store({.maxEntries = 3, .maxBytes = 10});
  const std::string a = store.put("aaaa");
  const std::string b = store.put("bbbb");
  EXPECT_EQ(store.get(a), "aaaa");
  const std::string c = store.put("cccc");  // 12 bytes: the oldest goes
  EXPECT_FALSE(store.get(a));
  EXPECT_EQ(store.get(b), "bbbb");
  EXPECT_EQ(store.get(c), "cccc");
  store.put("d");
  store.put("e");  // four entries: by count
  EXPECT_FALSE(store.get(b));
  EXPECT_EQ(store.size(), 3u);
  EXPECT_LE(store.bytes(), 10u);
  // A text past the byte bound is kept cut, never inside a character.
  const std::string big = store.put("123456789\u00e9tail");
  EXPECT_EQ(store.get(big), "123456789");
  EXPECT_FALSE(store.get("d00000000-1"));
}

TEST(ToolOutcome, SummarisesOutputsFailuresAndEdits) {
  protocol::HookPayload p(protocol::HookPayload::Event::postToolUse);
  p.toolName = "Bash";
  p.toolResponse = object({{"stdout", "1\n2\n3"}, {"stderr", ""}, {"interrupted", false}});
  auto o = toolOutcome(p);
  EXPECT_TRUE(o.ok);
  EXPECT_EQ(o.summary, "1");
  EXPECT_TRUE(o.truncated);
  EXPECT_EQ(o.fullText, "1\n2\n3");

  p.toolResponse = object({{"stdout", "done"}, {"interrupted", true}});
  o = toolOutcome(p);
  EXPECT_FALSE(o.ok);
  EXPECT_FALSE(o.truncated);

  p.hookEventName = protocol::HookPayload::Event::postToolUseFailure;
  p.toolResponse.reset();
  o = toolOutcome(p);
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.summary, "Bash failed");

  p.hookEventName = protocol::HookPayload::Event::postToolUse;
  p.toolName = "Edit";
  p.toolInput = object({{"file_path", "/p/a.txt"}, {"old_string", "x"}, {"new_string", "y"}});
  o = toolOutcome(p);
  EXPECT_EQ(o.summary, "Edited a.txt");
  EXPECT_EQ(o.fullText, *EditDiff::forTool("Edit", p.toolInput));
}

}  // namespace
}  // namespace parley::narration
