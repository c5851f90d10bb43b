#pragma once

// A unified diff of a file change, built from what a file tool was asked to
// do (its tool input), so a person approving an edit away from the screen
// sees what they approve. The diff is bounded: past the limit it is cut at a
// line and says how many lines were left out.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/json_value.hpp"

namespace parley::narration::EditDiff {

inline constexpr std::size_t kDefaultMaxBytes = 8 * 1024;

// "--- path", "+++ path" and one hunk taking `before` to `after`, line
// by line. Empty when the two are the same.
std::string between(std::string_view path, std::string_view before, std::string_view after,
                    std::size_t maxBytes = kDefaultMaxBytes);

// The tools that write a file named in their input: Edit, MultiEdit, Write,
// NotebookEdit.
bool isFileTool(std::string_view toolName);

// The diff of an Edit (old_string → new_string), a MultiEdit (each edit in
// turn) or a Write (all of its content added; the file's old text is not in
// the input). Nothing for other tools or an input without a path.
std::optional<std::string> forTool(std::string_view toolName,
                                   const std::optional<protocol::JSONValue>& toolInput,
                                   std::size_t maxBytes = kDefaultMaxBytes);

}  // namespace parley::narration::EditDiff
