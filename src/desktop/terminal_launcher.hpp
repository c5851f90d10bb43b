#pragma once

// Opens a terminal window attached to a session's tmux session. Every value is
// passed as its own argument, never through a shell or script text, so a
// socket path or session name cannot inject a command.

#include <filesystem>
#include <string>
#include <vector>

namespace parley::desktop {

struct TerminalLauncher {
  // $TERMINAL when set and non-empty, else "x-terminal-emulator" (Debian's
  // alternative for the desktop's terminal).
  static std::string terminalProgram();

  // The argument vector: TERMINAL -e tmux -S SOCKET attach -t SESSION.
  static std::vector<std::string> command(const std::string& socketPath,
                                          const std::string& tmuxSession);

  // Starts the terminal detached from Parley (its own process group, no
  // inherited standard streams) and returns without waiting for it. Throws
  // std::runtime_error with the reason when it cannot be started.
  static void open(const std::string& socketPath, const std::string& tmuxSession);
};

}  // namespace parley::desktop
