#pragma once

// What a permission request tells the person: what the tool wants to do
// (the command; for a file change, the path and the diff), and a narration
// they can act on by ear. Pure functions, so the tracker that publishes the
// request and the tests run the same code.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/json_value.hpp"
#include "protocol/server_messages.hpp"
#include "protocol/session.hpp"

namespace parley::narration {

// The most characters of a flattened tool input that a request's detail
// carries for a tool that is neither a command nor a file change.
inline constexpr std::size_t kMaxFlatDetail = 300;

// A request as far as it is known: from the hook when it came with one,
// else from the dialog on screen alone.
struct PermissionFacts {
  std::string sessionID;
  std::string toolName;
  std::optional<protocol::JSONValue> toolInput;
  std::vector<protocol::PermissionOption> options;
  protocol::RiskTier tier = protocol::RiskTier::elevated;
};

// Bash: the command. Edit, MultiEdit, Write, NotebookEdit: the path, a
// newline and the bounded diff. Anything else: the flattened input, cut to
// kMaxFlatDetail characters.
std::string permissionDetail(std::string_view toolName,
                             const std::optional<protocol::JSONValue>& toolInput);

// The tool call a dialog shows when no hook described it: its header names
// the tool ("Bash command", "Edit file", "Create file", "Exit plan mode?")
// and its detail the command or path.
struct DialogToolCall {
  std::string toolName;
  protocol::JSONValue toolInput;
};
DialogToolCall toolCallFromDialog(std::string_view header, std::string_view detail,
                                  const std::optional<std::string>& description);

// Everything but the request id.
protocol::PermissionRequest describePermission(const PermissionFacts& facts);

}  // namespace parley::narration
