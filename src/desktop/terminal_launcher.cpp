#include "desktop/terminal_launcher.hpp"

#include "desktop/detached_process.hpp"

#include <cstdlib>

namespace parley::desktop {

std::string TerminalLauncher::terminalProgram() {
  if (const char* t = std::getenv("TERMINAL"); t != nullptr && t[0] != '\0')
    return t;
  return "x-terminal-emulator";
}

std::vector<std::string> TerminalLauncher::command(const std::string& socketPath,
                                                   const std::string& tmuxSession) {
  return {terminalProgram(), "-e", "tmux", "-S", socketPath, "attach", "-t", tmuxSession};
}

void TerminalLauncher::open(const std::string& socketPath, const std::string& tmuxSession) {
  spawnDetached(command(socketPath, tmuxSession));
}

}  // namespace parley::desktop
