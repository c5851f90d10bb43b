#pragma once

// `parley run` (the application itself, in the foreground) and `parley
// panel` (its control panel, or the application when none runs). Each
// returns the process exit code; results go to `out`, failures to `err`.

#include <cstdint>
#include <iosfwd>
#include <optional>

namespace parley::cli {

struct RunOptions {
  std::optional<std::uint16_t> port;
  std::optional<std::uint16_t> panelPort;
  // Whether to open the control panel in a browser at start; the service
  // never does.
  bool openPanel = true;
  // Start desktop voice listening at once.
  bool voice = false;
};

// Starts the application and runs until SIGINT, SIGTERM or SIGHUP, or until
// `out` can no longer be written, printing each activity-log entry as it is
// written. Refuses to start when another application owns the hook socket.
int runApplication(const RunOptions& options, std::ostream& out, std::ostream& err);

// Opens the running application's control panel in a browser (prints its
// address without a desktop); with none running, runs the application, which
// opens it itself. What the desktop entry starts.
int panelCommand(const RunOptions& options, std::ostream& out, std::ostream& err);

}  // namespace parley::cli
