#pragma once

// The permission mode Claude Code 2.1.222 shows in the footer under its input
// box: "⏸ manual mode on", "⏵⏵ accept edits on (shift+tab to cycle)", "⏸ plan
// mode on …", "⏵⏵ auto mode on …". Hooks carry the mode too, but only when
// something happens; Shift+Tab at the keyboard changes the footer alone.

#include <optional>
#include <string_view>

#include "protocol/hook_payload.hpp"

namespace parley::terminal {

struct ModeFooter {
  // The mode the last lines of a captured screen (escapes kept or not) show, or nothing when no
  // footer is there (a dialog covers it, or another program runs). Only a
  // line that starts with the footer's own mark counts, so the words in the
  // conversation above never do.
  static std::optional<protocol::PermissionMode> read(std::string_view screen);
};

}  // namespace parley::terminal
