#pragma once

// Sizes the relay and the desktop's hook listener must agree on: whatever
// event the relay accepts from Claude Code, the listener must accept as a
// line, or the event vanishes between them.

#include <cstddef>

namespace parley::base {

// The largest hook event the relay reads from Claude Code.
inline constexpr std::size_t hookEventMaxBytes = 16 * 1024 * 1024;

// The longest tmux value the relay adds to an event; a pane id or a tmux
// socket path is far shorter, so anything longer is not tmux's.
inline constexpr std::size_t hookTmuxValueMaxBytes = 16 * 1024;

// The longest line the listener accepts, without its line feed: an event of
// the largest size plus the two tmux keys with their longest values, each of
// whose bytes may take six when escaped.
inline constexpr std::size_t hookLineMaxBytes = hookEventMaxBytes + 16 * hookTmuxValueMaxBytes;

}  // namespace parley::base
