#pragma once

// What the phone and desktop voice may submit to Claude Code's input box.
// Both are remote channels (a phone can be lost, a word misheard), so they
// never reach what only the keyboard may do: Claude Code's shell mode (a
// leading "!" runs the rest as a command, with no permission dialog at all)
// and the slash commands that change permissions, settings, hooks,
// directories, the login or the model. Only a few harmless commands are let
// through; a line whose first word is a path ("/tmp/x is full") is a prompt.

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace parley::terminal {

class InputPolicy {
 public:
  // The slash commands a remote channel may run: they start over, shorten
  // or describe the conversation, and grant nothing.
  static constexpr std::array<std::string_view, 6> kAllowedCommands{"clear", "compact", "context",
                                                                    "cost",  "help",    "usage"};

  // Why `text`, as it stands in the input box, must not be submitted from a
  // remote channel; nothing when it may be.
  static std::optional<std::string> refusal(std::string_view text);
  // Why `typed` must not be typed into a box that holds `box`: a "!" typed
  // first switches the box to shell mode at once, before any Enter.
  static std::optional<std::string> typingRefusal(std::string_view box, std::string_view typed);
};

}  // namespace parley::terminal
