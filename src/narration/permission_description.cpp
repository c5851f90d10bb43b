#include "narration/permission_description.hpp"

#include <filesystem>

#include "narration/edit_diff.hpp"
#include "text/unicode.hpp"

namespace parley::narration {

namespace {

using protocol::JSONValue;

std::string stringIn(const std::optional<JSONValue>& input, std::string_view key) {
  const std::string* s = input ? input->string(key) : nullptr;
  return s ? *s : std::string();
}

// The words a listener hears for what the tool wants, without the period.
std::string wantsTo(const PermissionFacts& f) {
  const std::string& tool = f.toolName;
  if (tool == "Bash") {
    const std::string command = stringIn(f.toolInput, "command");
    return "Claude wants to run " + std::string(text::characterPrefix(command, 120));
  }
  std::string path = stringIn(f.toolInput, "file_path");
  if (path.empty())
    path = stringIn(f.toolInput, "notebook_path");
  if (tool == "Write" && !path.empty())
    return "Claude wants to write " + std::filesystem::path(path).filename().string();
  if (EditDiff::isFileTool(tool) && !path.empty())
    return "Claude wants to edit " + std::filesystem::path(path).filename().string();
  if (tool == "ExitPlanMode")
    return "Claude wants to exit plan mode";
  if (tool.starts_with("mcp__"))
    return "Claude wants to use the tool " + tool.substr(5);
  return "Claude wants to use " + tool;
}

}  // namespace

std::string permissionDetail(std::string_view toolName, const std::optional<JSONValue>& toolInput) {
  if (toolName == "Bash") {
    std::string command = stringIn(toolInput, "command");
    if (!command.empty())
      return command;
  }
  if (EditDiff::isFileTool(toolName)) {
    std::string path = stringIn(toolInput, "file_path");
    if (path.empty())
      path = stringIn(toolInput, "notebook_path");
    const auto diff = EditDiff::forTool(toolName, toolInput);
    if (!path.empty())
      return diff && !diff->empty() ? path + "\n" + *diff : path;
  }
  const std::string flat = toolInput ? toolInput->flattenedText() : std::string();
  const std::string_view cut = text::characterPrefix(flat, kMaxFlatDetail);
  return cut.size() < flat.size() ? std::string(cut) + "\u2026" : flat;
}

DialogToolCall toolCallFromDialog(std::string_view header, std::string_view detail,
                                  const std::optional<std::string>& description) {
  JSONValue::Object input;
  if (header == "Bash command") {
    input["command"] = std::string(detail);
    if (description)
      input["description"] = *description;
    return {"Bash", JSONValue(std::move(input))};
  }
  if (header == "Edit file" || header == "Create file") {
    input["file_path"] = std::string(detail);
    return {header == "Edit file" ? "Edit" : "Write", JSONValue(std::move(input))};
  }
  if (header == "Exit plan mode?")
    return {"ExitPlanMode", JSONValue(std::move(input))};
  // An MCP dialog or one of a newer kind: the screen's words are all there is.
  input["detail"] = std::string(detail);
  return {std::string(header), JSONValue(std::move(input))};
}

protocol::PermissionRequest describePermission(const PermissionFacts& facts) {
  protocol::PermissionRequest r;
  r.sessionID = facts.sessionID;
  r.toolName = facts.toolName;
  r.detail = permissionDetail(facts.toolName, facts.toolInput);
  if (std::string d = stringIn(facts.toolInput, "description"); !d.empty())
    r.description = std::move(d);
  r.options = facts.options;
  r.tier = facts.tier;

  const std::string what = wantsTo(facts) + ".";
  std::string speech = what;
  if (facts.tier == protocol::RiskTier::destructive)
    speech += " This is destructive: it can only be approved at the keyboard.";
  else
    speech += " Allow it?";
  r.narration = protocol::Narration{.text = what, .speech = speech, .speak = true};
  return r;
}

}  // namespace parley::narration
