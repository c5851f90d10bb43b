#pragma once

// `parley sessions`: the Claude Code sessions found in tmux right now.

#include <iosfwd>

namespace parley::cli {

// One full sweep of the sessions running now; the exit code.
int sessionsCommand(bool json, std::ostream& out, std::ostream& err);

}  // namespace parley::cli
