// parley-hook: forwards one Claude Code hook event to the Parley desktop.
// Claude Code runs it for every hook of every session, so it does the least
// it can and always exits 0: a missing desktop or odd input must never show
// up as a failing hook.

#include <unistd.h>

#include <cstdlib>

#include "base/paths.hpp"
#include "relay/relay.hpp"

int main() {
  try {
    const auto deadline = parley::relay::Clock::now() + parley::relay::kTotalBudget;
    parley::relay::run(STDIN_FILENO, parley::base::hookSocketPath().string(),
                       std::getenv("TMUX_PANE"), std::getenv("TMUX"), deadline);
  } catch (...) {
    // Out of memory or the like: nothing useful to report to Claude Code.
  }
  return 0;
}
