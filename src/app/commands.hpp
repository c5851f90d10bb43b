#pragma once

// The `parley` subcommands. Each returns the process exit code; results go to
// `out`, failures to `err` with a non-zero code.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

namespace parley::app {

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

// A pairing offer for a new phone: the QR code with the host and port, or
// with `json` only the payload the QR code carries.
int pairCommand(const std::string& deviceName, bool json, std::uint16_t serverPort,
                std::ostream& out, std::ostream& err);
int devicesCommand(bool json, std::ostream& out, std::ostream& err);
int revokeCommand(const std::string& deviceID, std::ostream& out, std::ostream& err);
// One full sweep of the sessions running now.
int sessionsCommand(bool json, std::ostream& out, std::ostream& err);

}  // namespace parley::app
