#include "terminal/input_policy.hpp"

#include <algorithm>

#include "text/unicode.hpp"

namespace parley::terminal {

namespace {

constexpr const char* kShellMode =
    "shell commands (a leading \u201c!\u201d) can only be run at the keyboard";

}  // namespace

std::optional<std::string> InputPolicy::typingRefusal(std::string_view box,
                                                      std::string_view typed) {
  if (text::trimmed(box).empty() && text::trimmed(typed).starts_with('!'))
    return kShellMode;
  return std::nullopt;
}

std::optional<std::string> InputPolicy::refusal(std::string_view text) {
  const std::string_view line = text::trimmed(text);
  if (line.starts_with('!'))
    return kShellMode;
  if (!line.starts_with('/'))
    return std::nullopt;
  const std::string_view word = line.substr(1, line.find_first_of(" \t\n") - 1);
  // "/src/main.cpp fails": a path, not a command.
  if (word.find('/') != std::string_view::npos)
    return std::nullopt;
  const std::string name = text::lowercased(word);
  if (std::find(kAllowedCommands.begin(), kAllowedCommands.end(), name) != kAllowedCommands.end())
    return std::nullopt;
  std::string refusal = "/";
  refusal += text::characterPrefix(word, 40);
  refusal +=
      " can only be run at the keyboard (from here: /clear, /compact, /context, /cost, /help, "
      "/usage)";
  return refusal;
}

}  // namespace parley::terminal
