#pragma once

// The four things Parley needs before it is useful, as the first-run
// checklist shows them. Blocking (runs programs): call it off the main thread.

#include <optional>
#include <string>

namespace parley::panel {

struct SetupChecklist {
  bool tmuxFound = false;
  bool claudeFound = false;
  // The Tailscale account this computer is logged in as; nothing when
  // Tailscale is not running or not logged in.
  std::optional<std::string> tailscaleAccount;
  bool tailscaleInstalled = false;

  // `tailscaleExecutable` is asked for `status --json`.
  static SetupChecklist run(const std::string& tailscaleExecutable);
};

}  // namespace parley::panel
